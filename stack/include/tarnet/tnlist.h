// Owning doubly linked list: each node owns a heap copy of its record, two optional extra copies
// and a nested list of children. Used for TCP's control block pool and listeners, the DNS
// resolver's cache and pending queries, and the FTP folder walker.
#pragma once

#include <cstddef>

#include "tarnet/tnexport.h"

TARNET_API_BEGIN

struct TnListNode;

struct TnList {
    TnListNode* first;
    TnListNode* last;
    TnListNode* cursor;  // kept by the list's user; never read or moved by the list operations
    TnList* parent;      // kept by the list's user; never read by the list operations
};

struct TnListNode {
    TnListNode* next;
    TnListNode* prev;
    void* payload;  // payloadSize + 1 bytes, zero-filled, so text payloads are terminated
    int payloadSize;
    void* extra1;      // null or an owned copy (size + 1 bytes, zero-filled)
    void* extra2;      // null or an owned copy (size + 1 bytes, zero-filled)
    TnList* children;  // owned nested list, allocated empty with the node
};

void TnListInit(TnList* list);
TnListNode* TnListAppendCopy(TnList* list, const void* record, int size);
void TnListAppendNode(TnList* list, TnListNode* node);
TnListNode* TnListPopFront(TnList* list);
void TnListUnlink(TnList* list, TnListNode* node);
void TnListRemove(TnList* list, TnListNode* node);
void TnListFreeAll(TnList* list);
void TnListSetExtra1(TnListNode* node, const void* bytes, int size);
void TnListSetExtra2(TnListNode* node, const void* bytes, int size);

TARNET_API_END
