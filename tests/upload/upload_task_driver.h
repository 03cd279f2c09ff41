#pragma once
// Drives an upload task the way the session tick does: create and start it under the session lock,
// then poll the session until the task reported an outcome.

#include <chrono>
#include <memory>
#include <mutex>
#include <thread>

#include "session/edit_session.h"
#include "upload/upload_task.h"

namespace upload_test {

// Binds a new task to session, sets Uploading and starts the worker, all under lock. The task
// uses `transport` when given, else the environment's settings.
inline bool StartUploadTask(plumet::EditSession& session, std::recursive_mutex& lock,
                            const plumet_transport::TransportSettings* transport = nullptr) {
  std::lock_guard<std::recursive_mutex> guard(lock);
  auto task = std::make_unique<plumet::CUploadTask>(lock);
  plumet::CUploadTask* raw = task.get();
  if (transport != nullptr) raw->transport = *transport;
  session.task = std::move(task);
  session.state = plumet::EditSessionState::Uploading;
  raw->editSession = &session;
  return raw->Start();
}

// The state the session left Uploading for, or Uploading when patience ran out.
inline plumet::EditSessionState WaitForOutcome(plumet::EditSession& session,
                                               std::recursive_mutex& lock,
                                               std::chrono::seconds patience) {
  const auto deadline = std::chrono::steady_clock::now() + patience;
  while (std::chrono::steady_clock::now() < deadline) {
    {
      std::lock_guard<std::recursive_mutex> guard(lock);
      if (session.state != plumet::EditSessionState::Uploading) return session.state;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return plumet::EditSessionState::Uploading;
}

}  // namespace upload_test
