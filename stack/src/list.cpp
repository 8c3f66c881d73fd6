// Owning doubly linked list.
#include "tarnet/tnlist.h"

#include <cstdlib>
#include <cstring>

namespace {

// A zero-filled copy one byte longer than the record, so a text payload is always terminated.
void* CopyTerminated(const void* bytes, int size) {
    auto* copy = static_cast<unsigned char*>(std::calloc(static_cast<std::size_t>(size) + 1, 1));
    if (copy != nullptr) {
        std::memcpy(copy, bytes, static_cast<std::size_t>(size));
    }
    return copy;
}

void FreeNode(TnListNode* node) {
    std::free(node->payload);
    std::free(node->extra1);
    std::free(node->extra2);
    if (node->children != nullptr) {
        TnListFreeAll(node->children);
        std::free(node->children);
    }
    std::free(node);
}

}  // namespace

void TnListInit(TnList* list) {
    if (list == nullptr) {
        return;
    }
    list->first  = nullptr;
    list->last   = nullptr;
    list->cursor = nullptr;
    list->parent = nullptr;
}

TnListNode* TnListAppendCopy(TnList* list, const void* record, int size) {
    if (list == nullptr || record == nullptr || size <= 0) {
        return nullptr;
    }
    auto* node = static_cast<TnListNode*>(std::calloc(1, sizeof(TnListNode)));
    if (node == nullptr) {
        return nullptr;
    }
    node->payload  = CopyTerminated(record, size);
    node->children = static_cast<TnList*>(std::calloc(1, sizeof(TnList)));
    if (node->payload == nullptr || node->children == nullptr) {
        FreeNode(node);
        return nullptr;
    }
    node->payloadSize = size;
    TnListAppendNode(list, node);
    return node;
}

void TnListAppendNode(TnList* list, TnListNode* node) {
    if (list == nullptr || node == nullptr) {
        return;
    }
    node->next = nullptr;
    node->prev = list->last;
    if (list->last != nullptr) {
        list->last->next = node;
    } else {
        list->first = node;
    }
    list->last = node;
}

TnListNode* TnListPopFront(TnList* list) {
    if (list == nullptr || list->first == nullptr) {
        return nullptr;
    }
    TnListNode* node = list->first;
    TnListUnlink(list, node);
    return node;
}

void TnListUnlink(TnList* list, TnListNode* node) {
    if (list == nullptr || node == nullptr || list->first == nullptr) {
        return;
    }
    if (node->prev != nullptr) {
        node->prev->next = node->next;
    } else {
        list->first = node->next;
    }
    if (node->next != nullptr) {
        node->next->prev = node->prev;
    } else {
        list->last = node->prev;
    }
    node->next = nullptr;
    node->prev = nullptr;
}

void TnListRemove(TnList* list, TnListNode* node) {
    if (list == nullptr || node == nullptr || list->first == nullptr) {
        return;
    }
    TnListUnlink(list, node);
    FreeNode(node);
}

void TnListFreeAll(TnList* list) {
    if (list == nullptr) {
        return;
    }
    TnListNode* node = list->first;
    while (node != nullptr) {
        TnListNode* next = node->next;
        FreeNode(node);
        node = next;
    }
    list->first = nullptr;
    list->last  = nullptr;
}

namespace {

void SetExtra(void*& member, const void* bytes, int size) {
    if (member == nullptr && bytes != nullptr && size > 0) {
        member = CopyTerminated(bytes, size);
    }
}

}  // namespace

void TnListSetExtra1(TnListNode* node, const void* bytes, int size) {
    if (node != nullptr) {
        SetExtra(node->extra1, bytes, size);
    }
}

void TnListSetExtra2(TnListNode* node, const void* bytes, int size) {
    if (node != nullptr) {
        SetExtra(node->extra2, bytes, size);
    }
}
