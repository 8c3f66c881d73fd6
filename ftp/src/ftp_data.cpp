// FTP data connections (RFC 959 passive mode): PASV and its 227 reply, the data connection's
// life, LIST collected in memory, RETR written straight to the local file, STOR pumped from it.
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "ftp_internal.h"

std::uint32_t g_ftpListingLimit = TNFTP_MAX_LISTING;

namespace {

// Chunks offered to the socket layer per tick at most, so one tick stays short even when the
// layer could take more.
constexpr int kPumpChunksPerTick = 64;

void StepList(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t* data,
              std::uint32_t length);
void StepRetr(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t* data,
              std::uint32_t length);
void StepStor(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t* data,
              std::uint32_t length);
void StepSend(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t* data,
              std::uint32_t length);

// ---- The data connection ---------------------------------------------------------------------

std::uintptr_t DataEvent(std::uintptr_t context, int event, void* data, std::uint32_t a,
                         std::uint32_t, std::uint32_t) {
    auto* d = reinterpret_cast<TnFtpSession*>(context);
    if (!g_ftp.initialised || !FtpIsPoolRecord(d) || !d->inUse || d->kind != kFtpKindData) {
        return 0;
    }
    TnFtpSession* s = d->parent;
    if (s == nullptr || !s->inUse || s->data != d || s->step == nullptr) {
        return 0;
    }
    if (event == TNSOCK_EVENT_DATA && data != nullptr && a > 0) {
        g_ftp.bytesReceived += a;
        s->step(*s, FtpStep::Data, 0, static_cast<const std::uint8_t*>(data), a);
    } else if (event == TNSOCK_EVENT_CLOSED) {
        // Only the server's FIN ends the data in order (RFC 959 section 3.4.1); a reset or a
        // time-out cuts it, whatever the reply says afterwards.
        s->dataReset = TnSockTcpEndReason(d->endpoint) != TNSOCK_TCP_END_PEER_CLOSED ? 1 : 0;
        d->endpoint  = nullptr;  // the socket layer has released it
        s->dataOpen  = 0;
        s->step(*s, FtpStep::DataClosed, 0, nullptr, 0);
    } else if (event == TNSOCK_EVENT_CONNECTED) {
        s->step(*s, FtpStep::DataOpen, 0, nullptr, 0);
    }
    return 0;
}

// Opens the data connection: to the control connection's server, on the announced port. False
// when the session has ended (no record free).
bool OpenData(TnFtpSession& s) {
    TnFtpSession* d = FtpAllocate(kFtpKindData);
    if (d == nullptr) {
        FtpEnd(s, TNFTP_EV_NO_FREE_CONTEXT, nullptr, 0, 0);
        return false;
    }
    s.data    = d;
    d->parent = &s;
    char address[16];
    TnSockFormatAddr(s.serverAddress, address);
    if (TnSockTcpConnect(reinterpret_cast<std::uintptr_t>(d), DataEvent, address, s.pasvPort,
                         &d->endpoint) != TNSOCK_SUCCESS) {
        d->endpoint = nullptr;  // the wait below times out and tries another PASV
    }
    s.dataOpen = d->endpoint != nullptr ? 1 : 0;
    return true;
}

// ---- PASV ------------------------------------------------------------------------------------

void SendPasv(TnFtpSession& s, void (*continuation)(TnFtpSession&));

void StepPasv(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t*, std::uint32_t) {
    if (!FtpReplyArrived(s, event, "no response to PASV", true)) {
        return;
    }
    if (cls == 2 && !FtpReplyIs(s, "227")) {
        return;  // another 2xx is not the answer to PASV: the reply timer keeps running
    }
    FtpTimerStop(s);
    if (cls != 2) {
        FtpEndByClass(s, cls, TNFTP_OP_PASV);
        return;
    }
    char announced[16];
    if (!FtpParsePasv(s.replyLine, static_cast<std::size_t>(s.replyLength), announced,
                      &s.pasvPort)) {
        FtpEndWithReply(s, TNFTP_EV_UNKNOWN_REPLY, TNFTP_OP_PASV);
        return;
    }
    std::memcpy(s.pasvAddress, announced, sizeof s.pasvAddress);
    s.pasvContinuation(s);
}

void SendPasv(TnFtpSession& s, void (*continuation)(TnFtpSession&)) {
    s.pasvContinuation = continuation;
    s.step             = StepPasv;
    FtpSendCommand(s, "PASV", nullptr);
    FtpTimerStart(s);
}

// Waiting for the data connection of one command.
struct DataWait {
    const char* command;
    int op;
    FtpStepFn replyStep;
    bool withArgument;
};

void WaitForData(TnFtpSession& s, const DataWait& w, FtpStep event) {
    if (event == FtpStep::DataOpen) {
        FtpTimerStop(s);
        s.step = w.replyStep;
        FtpSendCommand(s, w.command, w.withArgument ? s.argument : nullptr);
        FtpTimerStart(s);
    } else if (event == FtpStep::Timeout) {
        FtpCloseAndReleaseData(s);
        if (--s.pasvAttempts > 0) {
            SendPasv(s, s.pasvContinuation);
        } else {
            FtpEndTimeout(s, "no data connection");
        }
    } else if (event == FtpStep::DataClosed) {
        FtpCloseAndReleaseData(s);
        FtpEnd(s, TNFTP_EV_CLOSED, nullptr, 0, static_cast<std::uintptr_t>(w.op));
    } else if (event == FtpStep::Abort) {
        FtpAbortStep(s);
    }
}

constexpr DataWait kListWait{"LIST", TNFTP_OP_LIST_DATA_OPEN, StepList, false};
constexpr DataWait kRetrWait{"RETR", TNFTP_OP_RETR_DATA_OPEN, StepRetr, true};
constexpr DataWait kStorWait{"STOR", TNFTP_OP_STOR_DATA_OPEN, StepStor, true};

void StepListWait(TnFtpSession& s, FtpStep e, int, const std::uint8_t*, std::uint32_t) {
    WaitForData(s, kListWait, e);
}
void StepRetrWait(TnFtpSession& s, FtpStep e, int, const std::uint8_t*, std::uint32_t) {
    WaitForData(s, kRetrWait, e);
}
void StepStorWait(TnFtpSession& s, FtpStep e, int, const std::uint8_t*, std::uint32_t) {
    WaitForData(s, kStorWait, e);
}

void Continue(TnFtpSession& s, FtpStepFn wait) {
    if (OpenData(s)) {
        s.step = wait;
        FtpTimerStart(s);
    }
}

void ContinueList(TnFtpSession& s) {
    Continue(s, StepListWait);
}
void ContinueRetr(TnFtpSession& s) {
    Continue(s, StepRetrWait);
}
void ContinueStor(TnFtpSession& s) {
    Continue(s, StepStorWait);
}

// ---- LIST ------------------------------------------------------------------------------------

// A fresh block at the tail of the listing, or null when none could be allocated.
ListingChunk* AddBlock(TnFtpSession& s) {
    auto* chunk = static_cast<ListingChunk*>(std::malloc(sizeof(ListingChunk) + kFtpListingBlock));
    if (chunk == nullptr) {
        return nullptr;
    }
    *chunk = ListingChunk{nullptr, reinterpret_cast<std::uint8_t*>(chunk + 1), 0, kFtpListingBlock};
    if (s.listTail != nullptr) {
        s.listTail->next = chunk;
    } else {
        s.listHead = chunk;
    }
    s.listTail = chunk;
    return chunk;
}

// Keeps a copy of a block of listing bytes, filling the tail block before adding another: one
// allocation per 64 KiB, however the bytes are segmented. False when the session has ended.
bool AppendChunk(TnFtpSession& s, const std::uint8_t* data, std::uint32_t length, int op) {
    if (s.listBytes > g_ftpListingLimit || length > g_ftpListingLimit - s.listBytes) {
        FtpEnd(s, TNFTP_EV_NO_MEMORY, nullptr, 0, static_cast<std::uintptr_t>(op));
        return false;
    }
    while (length > 0) {
        ListingChunk* chunk = s.listTail;
        if (chunk == nullptr || chunk->count == chunk->capacity) {
            chunk = AddBlock(s);
        }
        if (chunk == nullptr) {
            FtpEnd(s, TNFTP_EV_NO_MEMORY, nullptr, 0, static_cast<std::uintptr_t>(op));
            return false;
        }
        const std::uint32_t room = chunk->capacity - chunk->count;
        const std::uint32_t take = length < room ? length : room;
        std::memcpy(chunk->bytes + chunk->count, data, take);
        chunk->count += take;
        s.listBytes += take;
        data += take;
        length -= take;
    }
    return true;
}

// Hands the listing over in one piece. Each block is freed as soon as it is copied, so the
// bytes are held about once, not twice, while the piece is put together.
void DeliverListing(TnFtpSession& s, int op) {
    if (s.dataReset) {
        static constexpr char kMessage[] = "the listing's data connection was reset";
        FtpCloseAndReleaseData(s);
        FtpEnd(s, TNFTP_EV_CLOSED, kMessage, 0, static_cast<std::uintptr_t>(op));
        return;
    }
    FtpGoIdle(s);
    FtpCloseAndReleaseData(s);
    if (s.listBytes == 0) {
        FtpFreeListing(s);
        FtpReport(s, TNFTP_EV_LISTING, nullptr, 0, 0);
        return;
    }
    auto* buffer = static_cast<char*>(std::malloc(s.listBytes));
    if (buffer == nullptr) {
        FtpEnd(s, TNFTP_EV_NO_MEMORY, nullptr, 0, static_cast<std::uintptr_t>(op));
        return;
    }
    std::uint32_t offset = 0;
    while (s.listHead != nullptr) {
        ListingChunk* chunk = s.listHead;
        std::memcpy(buffer + offset, chunk->bytes, chunk->count);
        offset += chunk->count;
        s.listHead = chunk->next;
        std::free(chunk);
    }
    FtpFreeListing(s);
    FtpReport(s, TNFTP_EV_LISTING, buffer, static_cast<int>(offset), 0);
    std::free(buffer);
}

// The completion reply has come; the rest of the listing is still arriving.
void StepListClose(TnFtpSession& s, FtpStep event, int, const std::uint8_t* data,
                   std::uint32_t length) {
    if (event == FtpStep::Data) {
        AppendChunk(s, data, length, TNFTP_OP_LIST_DATA);
    } else if (event == FtpStep::DataClosed) {
        FtpTimerStop(s);
        DeliverListing(s, TNFTP_OP_LIST_DATA);
    } else if (event == FtpStep::Timeout) {
        FtpEndTimeout(s, "LIST data conn not closed");
    } else if (event == FtpStep::Abort) {
        FtpAbortStep(s);
    }
}

void StepList(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t* data,
              std::uint32_t length) {
    switch (event) {
        case FtpStep::Data:
            if (AppendChunk(s, data, length, TNFTP_OP_LIST)) {
                FtpTimerStart(s);  // data is progress: the reply wait starts again
            }
            return;
        case FtpStep::Timeout:
            FtpEndTimeout(s, "no LIST completion reply");
            return;
        case FtpStep::Abort:
            FtpAbortStep(s);
            return;
        case FtpStep::Reply:
            break;
        default:
            return;
    }
    if (cls == 1) {
        return;
    }
    FtpTimerStop(s);
    if (cls == 2) {
        if (s.dataOpen) {
            s.step = StepListClose;
            FtpTimerStart(s);
        } else {
            DeliverListing(s, TNFTP_OP_LIST);
        }
        return;
    }
    FtpCloseAndReleaseData(s);
    FtpEndByClass(s, cls, TNFTP_OP_LIST);
}

// ---- TYPE ------------------------------------------------------------------------------------

void StepType(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t*, std::uint32_t) {
    if (!FtpReplyArrived(s, event, "no TYPE completion reply", true)) {
        return;
    }
    FtpTimerStop(s);
    if (cls == 2) {
        s.pasvAttempts = 3;
        SendPasv(s, s.direction == kFtpDirectionSend ? ContinueStor : ContinueRetr);
    } else if (cls >= 1 && cls <= 5) {
        FtpGoIdle(s);
        FtpReport(s, TNFTP_EV_TYPE_FAILED, s.replyLine, s.replyLength, TNFTP_OP_TYPE);
    } else {
        FtpEndWithReply(s, TNFTP_EV_UNKNOWN_REPLY, TNFTP_OP_TYPE);
    }
}

// ---- RETR ------------------------------------------------------------------------------------

// Ends a transfer that keeps the session: idle, data connection and file closed, then the event.
void TransferDone(TnFtpSession& s, int event, const char* text, int length, std::uintptr_t extra) {
    FtpGoIdle(s);
    FtpCloseAndReleaseData(s);
    FtpFreeChunk(s);
    FtpCloseFile(s);
    FtpReport(s, event, text, length, extra);
}

void ReportReceiveFailed(TnFtpSession& s) {
    TransferDone(s, TNFTP_EV_RECEIVE_FAILED, s.failHasText ? s.failText : nullptr, 0, 0);
}

// Waits for RETR's final reply after a failed download, so that it cannot answer the next
// command; then reports the failure.
void StepRetrFailed(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t*, std::uint32_t) {
    if (!FtpReplyArrived(s, event, "no RETR completion reply", true) || cls == 1) {
        return;
    }
    ReportReceiveFailed(s);
}

// A download failed (a local write error, a reset data connection, a size that does not match):
// the data connection is reset and the local file discarded; the failure is reported once the
// server's final reply is in.
void FailReceive(TnFtpSession& s, const char* why) {
    FtpResetAndReleaseData(s);
    FtpCloseFile(s);
    s.failHasText = why != nullptr ? 1 : 0;
    if (why != nullptr) {
        tarnet::netclient::TextOut(s.failText, sizeof s.failText).Put(why);
    }
    if (s.dataCompleted) {
        ReportReceiveFailed(s);
        return;
    }
    FtpTimerStop(s);
    s.step = StepRetrFailed;
    FtpTimerStart(s);
}

// The local file is opened once the server has accepted RETR. False when it could not be.
bool OpenReceiveFile(TnFtpSession& s) {
    if (s.file == 0) {
        s.file = g_ftp.services.fileOpen(s.argument, 1, 1);
        if (s.file == 0) {
            FailReceive(s, nullptr);
            return false;
        }
    }
    return true;
}

void ReceiveBlock(TnFtpSession& s, const std::uint8_t* data, std::uint32_t length) {
    std::uint32_t written = 0;
    if (s.dataCompleted && s.dataClosedSeen) {
        return;
    }
    if (!OpenReceiveFile(s)) {
        return;
    }
    if (g_ftp.services.fileWrite(s.file, data, length, &written) == 0 || written != length) {
        FailReceive(s, nullptr);
        return;
    }
    s.transferred += length;
    FtpTimerStart(s);  // data is progress: the reply wait starts again
    FtpReport(s, TNFTP_EV_BYTES_RECEIVED, nullptr, 0, written);
}

// Both ends are in: the bytes must be all there (a known size matches) and the host must have
// the file whole on disk before the download counts as complete.
void FinishReceive(TnFtpSession& s) {
    if (s.dataReset) {
        char why[64];
        tarnet::netclient::TextOut text(why, sizeof why);
        text.Put("data connection reset after ");
        text.Number(s.transferred);
        text.Put(" bytes");
        FailReceive(s, why);
        return;
    }
    if (!OpenReceiveFile(s)) {
        return;  // an empty download whose file could not be created
    }
    if (s.expectedSize != 0 && s.transferred != s.expectedSize) {
        char why[64];
        tarnet::netclient::TextOut text(why, sizeof why);
        text.Put("received ");
        text.Number(s.transferred);
        text.Put(" of ");
        text.Number(s.expectedSize);
        text.Put(" bytes");
        FailReceive(s, why);
        return;
    }
    if (!FtpFinishReceivedFile(s)) {
        FailReceive(s, nullptr);
        return;
    }
    TransferDone(s, TNFTP_EV_RECEIVE_COMPLETE, nullptr, 0,
                 static_cast<std::uintptr_t>(s.transferred));
}

// A download is complete once the server has both closed the data connection (end of file in
// stream mode, RFC 959 section 3.4.1) and sent its completion reply.
void StepRetr(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t* data,
              std::uint32_t length) {
    switch (event) {
        case FtpStep::Data:
            ReceiveBlock(s, data, length);
            return;
        case FtpStep::DataClosed:
            FtpCloseAndReleaseData(s);
            s.dataClosedSeen = 1;
            if (s.dataCompleted || s.dataReset) {
                FinishReceive(s);  // a reset fails at once or after the final reply
            }
            return;
        case FtpStep::Timeout:
            if (s.dataCompleted) {
                FailReceive(s, "the data connection did not end");
            } else {
                FtpEndTimeout(s, "no RETR completion reply");
            }
            return;
        case FtpStep::Abort:
            FtpAbortStep(s);
            return;
        case FtpStep::Reply:
            break;
        default:
            return;
    }
    if (cls == 1) {
        OpenReceiveFile(s);  // accepted: now the local file may be replaced
        return;
    }
    if (s.dataCompleted) {
        return;
    }
    FtpTimerStop(s);
    if (cls == 2) {
        s.dataCompleted = 1;
        if (s.dataClosedSeen) {
            FinishReceive(s);
        } else {
            FtpTimerStart(s);
        }
        return;
    }
    FtpCloseAndReleaseData(s);
    FtpCloseFile(s);
    FtpEndByClass(s, cls, TNFTP_OP_RETR);
}

// ---- STOR ------------------------------------------------------------------------------------

// The data stream has ended (our close or the server's): wait for the final reply.
void StepSendCompletion(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t*,
                        std::uint32_t) {
    if (event == FtpStep::Timeout) {
        // A reply that came later would answer the next command: the session cannot go on.
        FtpEndTimeout(s, "no STOR completion reply");
    } else if (event == FtpStep::Abort) {
        FtpAbortStep(s);
    } else if (event == FtpStep::Reply && cls == 2 && s.completionEvent == TNFTP_EV_SEND_COMPLETE) {
        FtpTimerStop(s);
        TransferDone(s, TNFTP_EV_SEND_COMPLETE, nullptr, 0, 0);
    } else if (event == FtpStep::Reply && cls != 1) {
        FtpTimerStop(s);
        TransferDone(s, TNFTP_EV_SEND_FAILED, s.replyLine, s.replyLength, TNFTP_OP_STOR_DATA);
    } else if (event == FtpStep::DataClosed) {
        FtpCloseAndReleaseData(s);
    }
}

// The upload's stream has ended: in order (our FIN is the end of file in stream mode) or, for a
// failed one, with a reset, so that the server does not keep a cut file as a whole one.
void EnterCompletion(TnFtpSession& s, int completionEvent) {
    if (completionEvent == TNFTP_EV_SEND_COMPLETE) {
        FtpCloseAndReleaseData(s);
    } else {
        FtpResetAndReleaseData(s);
    }
    FtpFreeChunk(s);
    FtpCloseFile(s);
    s.completionEvent = completionEvent;
    s.step            = StepSendCompletion;
    FtpTimerStart(s);
}

void StepStor(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t*, std::uint32_t) {
    switch (event) {
        case FtpStep::Reply:
            FtpTimerStop(s);
            if (cls == 1) {
                s.step           = StepSend;
                s.sendStallStart = g_ftp.services.getTickCount();
                FtpPump(s);
            } else {
                TransferDone(s, TNFTP_EV_SEND_FAILED, s.replyLine, s.replyLength, TNFTP_OP_STOR);
            }
            return;
        case FtpStep::Timeout:
            TransferDone(s, TNFTP_EV_SEND_FAILED, nullptr, 0, TNFTP_OP_STOR);
            return;
        case FtpStep::DataClosed:
            // STOR's reply is still to come: it is read before the failure is reported.
            EnterCompletion(s, TNFTP_EV_SEND_FAILED);
            return;
        case FtpStep::Abort:
            FtpAbortStep(s);
            return;
        default:
            return;
    }
}

void StepSend(TnFtpSession& s, FtpStep event, int cls, const std::uint8_t*, std::uint32_t) {
    if (event == FtpStep::Timeout) {
        FtpPump(s);
    } else if (event == FtpStep::Reply && cls != 1) {
        // A final reply before the end of the file (452 for a full disk, or any other): the
        // upload has failed, and this reply is its answer.
        FtpResetAndReleaseData(s);
        TransferDone(s, TNFTP_EV_SEND_FAILED, s.replyLine, s.replyLength, TNFTP_OP_STOR_DATA);
    } else if (event == FtpStep::DataClosed) {
        // The server stopped taking data before the end of the file: the reply will say why.
        EnterCompletion(s, TNFTP_EV_SEND_FAILED);
    } else if (event == FtpStep::Abort) {
        FtpCloseFile(s);
        FtpAbortStep(s);
    }
}

// A local failure during the upload (a read error, a stall): the stream is cut with a reset and
// the server's final reply is read before the failure is reported, so replies stay in step.
void SendFailed(TnFtpSession& s) {
    EnterCompletion(s, TNFTP_EV_SEND_FAILED);
}

// Reads the next chunk of the file. False when the upload failed (and has been reported).
bool ReadChunk(TnFtpSession& s) {
    if (s.chunk == nullptr) {
        s.chunk = static_cast<std::uint8_t*>(std::malloc(kFtpSendChunk));
        if (s.chunk == nullptr) {
            SendFailed(s);
            return false;
        }
    }
    std::uint32_t read = 0;
    if (g_ftp.services.fileRead(s.file, s.chunk, kFtpSendChunk, &read) == 0 ||
        read > kFtpSendChunk) {
        SendFailed(s);
        return false;
    }
    if (read < kFtpSendChunk) {
        FtpCloseFile(s);
        s.lastChunk = 1;
    }
    s.chunkCursor    = 0;
    s.chunkRemaining = read;
    return true;
}

// Offers the chunk's remaining bytes. 1: all taken; 0: the socket layer is full; -1: failed.
int OfferChunk(TnFtpSession& s) {
    TnFtpSession* d = s.data;
    if (d == nullptr || d->endpoint == nullptr) {
        SendFailed(s);
        return -1;
    }
    std::uint32_t taken = 0;
    const int result =
        TnSockTcpSend(d->endpoint, s.chunk + s.chunkCursor, s.chunkRemaining, &taken);
    if (result == TNSOCK_TRANSMITTER_BUSY) {
        return 0;
    }
    if (result != TNSOCK_SUCCESS) {
        SendFailed(s);
        return -1;
    }
    taken = taken > s.chunkRemaining ? s.chunkRemaining : taken;
    s.chunkCursor += taken;
    s.chunkRemaining -= taken;
    s.transferred += taken;
    g_ftp.bytesSent += taken;
    if (taken > 0) {
        s.sendStallStart               = g_ftp.services.getTickCount();
        const std::uint32_t generation = s.generation;
        FtpReport(s, TNFTP_EV_BYTES_SENT, nullptr, 0, taken);
        if (!s.inUse || s.generation != generation || s.step != StepSend) {
            return -1;  // the host closed or aborted inside the callback
        }
    }
    return s.chunkRemaining == 0 ? 1 : 0;
}

}  // namespace

// ---- Shared helpers --------------------------------------------------------------------------

void FtpCloseData(TnFtpSession& s) {
    if (s.dataOpen && s.data != nullptr && s.data->endpoint != nullptr) {
        TnSockClose(s.data->endpoint);
        s.data->endpoint = nullptr;
    }
    s.dataOpen = 0;
}

void FtpResetAndReleaseData(TnFtpSession& s) {
    if (s.dataOpen && s.data != nullptr && s.data->endpoint != nullptr) {
        TnSockTcpReset(s.data->endpoint);
        s.data->endpoint = nullptr;
    }
    s.dataOpen = 0;
    FtpCloseAndReleaseData(s);
}

void FtpCloseAndReleaseData(TnFtpSession& s) {
    FtpCloseData(s);
    if (s.data != nullptr) {
        TnFtpSession* d = s.data;
        s.data          = nullptr;
        d->parent       = nullptr;
        if (d->inUse) {
            FtpRelease(*d);
        }
    }
}

void FtpFreeListing(TnFtpSession& s) {
    while (s.listHead != nullptr) {
        ListingChunk* next = s.listHead->next;
        std::free(s.listHead);
        s.listHead = next;
    }
    s.listTail  = nullptr;
    s.listBytes = 0;
}

void FtpFreeChunk(TnFtpSession& s) {
    std::free(s.chunk);
    s.chunk          = nullptr;
    s.chunkCursor    = 0;
    s.chunkRemaining = 0;
}

namespace {

bool EndFile(TnFtpSession& s, int completed) {
    const TnFtpFile file = s.file;
    s.file               = 0;
    if (file == 0) {
        return completed == 0;
    }
    if (s.direction == kFtpDirectionReceive && g_ftp.services.fileFinish != nullptr) {
        return g_ftp.services.fileFinish(file, completed) != 0;
    }
    g_ftp.services.fileClose(file);
    return true;
}

}  // namespace

void FtpCloseFile(TnFtpSession& s) {
    EndFile(s, 0);
}

bool FtpFinishReceivedFile(TnFtpSession& s) {
    return EndFile(s, 1);
}

namespace {

constexpr FtpStepName kSteps[] = {
    {StepPasv,           "PASV"                },
    {StepListWait,       "LIST data connection"},
    {StepRetrWait,       "RETR data connection"},
    {StepStorWait,       "STOR data connection"},
    {StepList,           "LIST"                },
    {StepListClose,      "LIST data"           },
    {StepType,           "TYPE"                },
    {StepRetr,           "RETR"                },
    {StepRetrFailed,     "RETR failed"         },
    {StepStor,           "STOR"                },
    {StepSend,           "STOR data"           },
    {StepSendCompletion, "STOR completion"     },
};

}  // namespace

const char* FtpDataStepName(FtpStepFn step) {
    const char* name = FtpFindStepName(kSteps, std::size(kSteps), step);
    return name != nullptr ? name : "?";
}

bool FtpIsSending(const TnFtpSession& s) {
    return s.step == StepSend;
}

// The upload pump: runs on every tick, offering chunks while the socket layer takes them whole.
// A data connection that takes nothing for one reply timeout fails the upload.
void FtpPump(TnFtpSession& s) {
    for (int i = 0; i < kPumpChunksPerTick; ++i) {
        if (s.chunkRemaining == 0 && !s.lastChunk && !ReadChunk(s)) {
            return;
        }
        if (s.chunkRemaining > 0) {
            const int offered = OfferChunk(s);
            if (offered < 0) {
                return;
            }
            if (offered == 0) {
                break;
            }
        }
        if (s.lastChunk && s.chunkRemaining == 0) {
            EnterCompletion(s, TNFTP_EV_SEND_COMPLETE);
            return;
        }
    }
    const auto stalled =
        static_cast<std::int32_t>(g_ftp.services.getTickCount() - s.sendStallStart);
    if (stalled >= 0 && static_cast<std::uint32_t>(stalled) >= g_ftp.replyTimeout) {
        SendFailed(s);
    }
}

bool FtpParsePasv(const char* line, std::size_t length, char* address, std::uint16_t* port) {
    std::size_t i = 0;
    while (i < length && line[i] != '(') {
        ++i;
    }
    if (i == length) {
        return false;
    }
    ++i;
    // Six numbers: four address parts, port high byte, port low byte (RFC 959 section 4.1.2).
    unsigned numbers[6]    = {};
    int index              = 0;
    int digits             = 0;
    std::size_t textLength = 0;
    for (; i < length; ++i) {
        const char c = line[i];
        if (c >= '0' && c <= '9') {
            if (++digits > 3) {
                return false;
            }
            numbers[index] = numbers[index] * 10 + static_cast<unsigned>(c - '0');
            if (index < 4) {
                address[textLength++] = c;
            }
            continue;
        }
        if (digits == 0) {
            return false;
        }
        if (c == ',' && index < 5) {
            if (index < 3) {
                address[textLength++] = '.';
            }
            ++index;
            digits = 0;
            continue;
        }
        if (c == ')' && index == 5) {
            if (numbers[4] > 255 || numbers[5] > 255) {
                return false;
            }
            address[textLength] = '\0';
            *port               = static_cast<std::uint16_t>(numbers[4] * 256 + numbers[5]);
            return *port != 0;
        }
        return false;
    }
    return false;
}

// ---- API -------------------------------------------------------------------------------------

namespace {

int CheckTransfer(TnFtpSession* s, const char* name) {
    const bool valid = name != nullptr && FtpArgumentValid(name, false);
    // RETR and STOR go out after TYPE and PASV: a name too long for them is refused now.
    if (g_ftp.initialised && s != nullptr && valid && !FtpFitsCommandLine("RETR", name)) {
        return TNFTP_CMD_PARAM_TOO_LONG;
    }
    return FtpCheckCommand(s, valid);
}

int StartTransfer(TnFtpSession& s, const char* name, int direction) {
    FtpCloseFile(s);
    // An upload's file must exist before anything is asked of the server; a download's is
    // opened only once RETR is accepted, so a refusal leaves the local file as it was.
    s.direction = direction;
    if (direction == kFtpDirectionSend) {
        s.file = g_ftp.services.fileOpen(name, 0, 0);
        if (s.file == 0) {
            return TNFTP_FILE_OPEN_ERROR;
        }
    }
    FtpCloseAndReleaseData(s);
    FtpFreeChunk(s);
    std::memset(s.argument, 0, sizeof s.argument);
    std::memcpy(s.argument, name, std::strlen(name));
    s.transferred    = 0;
    s.lastChunk      = 0;
    s.dataCompleted  = 0;
    s.dataClosedSeen = 0;
    s.dataReset      = 0;
    s.failHasText    = 0;
    s.step           = StepType;
    const int result = FtpSendCommand(s, "TYPE", "I");
    if (result != TNFTP_OK) {
        FtpGoIdle(s);
        FtpCloseFile(s);
        return result;
    }
    FtpTimerStart(s);
    return TNFTP_OK;
}

}  // namespace

int TnFtpList(TnFtpSession* s) {
    if (const int check = FtpCheckCommand(s, true); check != TNFTP_OK) {
        return check;
    }
    FtpFreeListing(*s);
    FtpCloseAndReleaseData(*s);
    s->dataReset        = 0;
    s->pasvAttempts     = 3;
    s->pasvContinuation = ContinueList;
    s->step             = StepPasv;
    const int result    = FtpSendCommand(*s, "PASV", nullptr);
    if (result != TNFTP_OK) {
        FtpGoIdle(*s);
        return result;
    }
    FtpTimerStart(*s);
    return TNFTP_OK;
}

int TnFtpGetFile(TnFtpSession* s, const char* name, std::uint32_t expectedSizeLow,
                 std::uint32_t expectedSizeHigh) {
    const int check = CheckTransfer(s, name);
    if (check != TNFTP_OK) {
        return check;
    }
    s->expectedSize = (static_cast<std::uint64_t>(expectedSizeHigh) << 32) | expectedSizeLow;
    return StartTransfer(*s, name, kFtpDirectionReceive);
}

int TnFtpPutFile(TnFtpSession* s, const char* name) {
    const int check = CheckTransfer(s, name);
    return check != TNFTP_OK ? check : StartTransfer(*s, name, kFtpDirectionSend);
}
