#pragma once
// The worker thread of an upload task: hash the copy, register the new content with the service,
// open the copy, run the protocol, and record the outcome in the session under the session lock.

#include "upload/upload_task.h"

namespace plumet {

// Thread entry. Returns 0.
unsigned UploadThreadProc(CUploadTask* task);

// Opens the session's local copy for reading, refusing it while another program may write it, and
// stores its length in the session's fileSize.
bool OpenLocalFile(CUploadTask& task);

// The worker's last act for a completed or failed upload: signals doneEvent, then sets the
// session Uploaded or Failed under the session lock, unless a stop was requested meanwhile.
void FinishUpload(CUploadTask& task, bool failed);

}  // namespace plumet
