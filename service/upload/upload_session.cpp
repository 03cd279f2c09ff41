#include "service/upload/upload_session.h"

#include <openssl/rand.h>
#include <unistd.h>

#include <cstdio>
#include <iterator>

#include "service/upload/file_io.h"

namespace zelmic {

UploadSession::~UploadSession() {
  if (fd >= 0) ::close(fd);
  if (!staged_path.empty()) ::unlink(staged_path.c_str());
  if (!rebuilt_path.empty()) ::unlink(rebuilt_path.c_str());
}

void SessionTable::set_idle_limit(std::chrono::milliseconds limit) {
  std::lock_guard<std::mutex> lock(mutex_);
  idle_limit_ = limit;
}

std::shared_ptr<UploadSession> SessionTable::FindByKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  ExpireLocked(now);
  auto it = id_by_key_.find(key);
  if (it == id_by_key_.end()) return nullptr;
  return TouchLocked(it->second, now);
}

std::shared_ptr<UploadSession> SessionTable::Find(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  ExpireLocked(now);
  return TouchLocked(id, now);
}

std::shared_ptr<UploadSession> SessionTable::TouchLocked(const std::string& id,
                                                        std::chrono::steady_clock::time_point now) {
  auto it = by_id_.find(id);
  if (it == by_id_.end()) return nullptr;
  if (now - it->second.last_used > idle_limit_) {
    RemoveLocked(id);
    return nullptr;
  }
  it->second.last_used = now;
  return it->second.session;
}

void SessionTable::Add(const std::shared_ptr<UploadSession>& session) {
  std::lock_guard<std::mutex> lock(mutex_);
  by_id_[session->id] = Entry{session, std::chrono::steady_clock::now()};
  id_by_key_[session->key] = session->id;
}

void SessionTable::Remove(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  RemoveLocked(id);
}

void SessionTable::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  by_id_.clear();
  id_by_key_.clear();
}

size_t SessionTable::size() {
  std::lock_guard<std::mutex> lock(mutex_);
  return by_id_.size();
}

void SessionTable::ExpireLocked(std::chrono::steady_clock::time_point now) {
  // A sweep walks every session; once a second is often enough for limits counted in minutes.
  if (now < next_sweep_) return;
  next_sweep_ = now + std::chrono::seconds(1);
  for (auto it = by_id_.begin(); it != by_id_.end();) {
    auto next = std::next(it);
    if (now - it->second.last_used > idle_limit_) RemoveLocked(it->first);
    it = next;
  }
}

void SessionTable::RemoveLocked(const std::string& id) {
  auto it = by_id_.find(id);
  if (it == by_id_.end()) return;
  auto key = id_by_key_.find(it->second.session->key);
  if (key != id_by_key_.end() && key->second == id) id_by_key_.erase(key);
  by_id_.erase(it);
}

std::string NewSessionId() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof(bytes)) != 1) return std::string();
  return HexLower(bytes, sizeof(bytes));
}

}  // namespace zelmic
