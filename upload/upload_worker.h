#pragma once
// The worker thread of an upload task: hash the source file, check that nobody stored another
// version meanwhile, register the content with the service, open the file, run the protocol, and
// tell the observer how it ended, under the owner's lock.

#include <cstdint>
#include <string>

#include "upload/upload_task.h"

namespace plumet {

// Thread entry: runs the job and tells its report (or, when stopped, only that it ended).
void UploadThreadProc(CUploadTask* task);

// Opens the source file for reading, refusing it while another program may write it, and stores
// its length in the task's fileSize.
bool OpenLocalFile(CUploadTask& task);

// The task's outcome as its observer receives it: `end`, `status` and `cause` as given, the rest
// from what the worker learnt on the way.
UploadReport MakeReport(const CUploadTask& task, UploadEnd end, int32_t status, std::string cause);

// How a failed protocol run ends, from the last result code the requests left in the task.
UploadReport ProtocolFailureReport(const CUploadTask& task);

// The worker's last act for an upload that was not stopped: signals doneEvent, then tells the
// observer under the owner's lock, unless a stop was requested meanwhile.
void FinishUpload(CUploadTask& task, const UploadReport& report);

}  // namespace plumet
