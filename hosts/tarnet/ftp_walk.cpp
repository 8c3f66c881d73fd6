// tarnet ftp: the folder operations (get-dir, put-dir, rm-dir). The library's folder walker
// does the work; this file starts it in the right remote (or local) folder, waits for its end
// and turns its outcome into a summary or one failure line.
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "ftp.h"
#include "ftp_files.h"

namespace tarnet::cli::ftp {

int FtpCommand::Tree(const std::function<int()>& call, int doneKind, const char* what,
                     bool transfers) {
    gRun.treeMode = true;
    gRun.treeDone = false;
    gRun.sending  = doneKind == TNTREE_REP_UPLOAD_DONE;
    gRun.startMs  = platform::MonotonicMs();
    const int rc  = call();
    if (rc != TNTREE_STARTED) {
        gRun.treeMode = false;
        return Fail("%s: the walker refused to start (%d)", what, rc);
    }
    const auto outcome = session_.Run(TreeDone, nullptr);
    if (outcome != platform::EventLoop::Outcome::kDone) {
        const int code = Interrupted(outcome, what);
        gRun.treeMode  = false;
        return code;
    }
    gRun.treeMode = false;
    if (!gRun.treeDone) {
        return Fail("%s: the session ended", what);
    }
    if (gRun.treeKind != doneKind && gRun.treeA == TNTREE_ENTRIES_SKIPPED) {
        TreeSummary(what, transfers);
        return Fail("%s: %llu listed entries were skipped", what,
                    static_cast<unsigned long long>(gRun.treeB));
    }
    if (gRun.treeKind != doneKind) {
        EndProgress();
        std::string why = TreeResultText(gRun.treeA);
        const int event = static_cast<int>(gRun.treeB);
        if (event != 0) {
            why += " (" + Describe(event, gRun.text, gRun.extra) + ")";
        } else if (!gRun.lastReply.empty()) {
            why += " (last reply: " + gRun.lastReply + ")";
        }
        if (!platform::FtpLastFileError().empty()) {
            why += "; " + platform::FtpLastFileError();
        }
        return Fail("%s: %s", what, why.c_str());
    }
    if (platform::FtpWriteFailed()) {
        return Fail("%s: %s", what, platform::FtpLastFileError().c_str());
    }
    TreeSummary(what, transfers);
    return kExitOk;
}

void FtpCommand::TreeSummary(const char* what, bool transfers) {
    if (!transfers) {
        std::fprintf(stderr, "tarnet: %s: %llu files and folders deleted\n", what,
                     static_cast<unsigned long long>(gRun.files));
        return;
    }
    std::string prefix = std::string(what) + ": " + std::to_string(gRun.files) + " files, ";
    if (gRun.present > 0) {
        prefix += std::to_string(gRun.present) + " already here with the same size (skipped), ";
    }
    Summary(prefix.c_str());
}

int RunTreeOp(FtpCommand& ftp, const Request& r, const std::string& what) {
    if (r.op->op == Op::kPutDir) {
        if (!r.localDir.empty() && ::chdir(r.localDir.c_str()) != 0) {
            return Fail("put-dir: cannot enter the local folder %s: %s", r.localDir.c_str(),
                        std::strerror(errno));
        }
        return ftp.Tree([&] { return TnFtpTreeUpload(gRun.session, r.folder.c_str()); },
                        TNTREE_REP_UPLOAD_DONE, what.c_str(), true);
    }
    if (!r.remoteDir.empty()) {
        if (const int rc = ftp.Cwd(r.remoteDir); rc != kExitOk) {
            return rc;
        }
    }
    if (r.op->op == Op::kRmDir) {
        return ftp.Tree([&] { return TnFtpTreeDelete(gRun.session, r.folder.c_str()); },
                        TNTREE_REP_DELETE_DONE, what.c_str(), false);
    }
    return ftp.Tree(
        [&] { return TnFtpTreeDownload(gRun.session, r.folder.c_str(), r.overwrite ? 1 : 0); },
        TNTREE_REP_DOWNLOAD_DONE, what.c_str(), true);
}

}  // namespace tarnet::cli::ftp
