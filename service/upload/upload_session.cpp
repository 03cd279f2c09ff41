#include "service/upload/upload_session.h"

#include <openssl/rand.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <iterator>

#include "service/upload/file_io.h"

namespace zelmic {

UploadSession::~UploadSession() {
  for (const std::string* path : {&staged_path, &rebuilt_path, &match_path})
    if (!path->empty()) ::unlink(path->c_str());
}

SessionTable::SessionTable(std::chrono::milliseconds idle_limit)
    : idle_limit_(idle_limit), timer_([this] { RunTimer(); }) {}

SessionTable::~SessionTable() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  timer_.join();
}

void SessionTable::set_idle_limit(std::chrono::milliseconds limit) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    idle_limit_ = limit;
  }
  wake_.notify_all();
}

void SessionTable::RunTimer() {
  std::unique_lock<std::mutex> lock(mutex_);
  while (!stop_) {
    // A quarter of the limit keeps a session at most 25% past it, and no sweep more often than
    // every 10 ms nor less often than once a minute.
    const auto period = std::clamp<std::chrono::milliseconds>(
        idle_limit_ / 4, std::chrono::milliseconds(10), std::chrono::minutes(1));
    wake_.wait_for(lock, period);
    if (stop_) break;
    // Sessions dropped here may free their staged files; that happens when the last reference
    // goes, which may be this very sweep, so it runs without the lock.
    std::vector<std::shared_ptr<UploadSession>> dropped =
        ExpireLocked(std::chrono::steady_clock::now());
    lock.unlock();
    dropped.clear();
    lock.lock();
  }
}

std::shared_ptr<UploadSession> SessionTable::FindByKey(const std::string& key) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto now = std::chrono::steady_clock::now();
  auto it = id_by_key_.find(key);
  if (it == id_by_key_.end()) return nullptr;
  return TouchLocked(it->second, now);
}

std::shared_ptr<UploadSession> SessionTable::Find(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  return TouchLocked(id, std::chrono::steady_clock::now());
}

std::shared_ptr<UploadSession> SessionTable::TouchLocked(
    const std::string& id, std::chrono::steady_clock::time_point now) {
  auto it = by_id_.find(id);
  if (it == by_id_.end()) return nullptr;
  if (now - it->second.last_used > idle_limit_) {
    RemoveLocked(id);
    return nullptr;
  }
  it->second.last_used = now;
  return it->second.session;
}

bool SessionTable::Add(const std::shared_ptr<UploadSession>& session, size_t max_per_user) {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t& count = count_by_user_[session->ticket.user];
  if (count >= max_per_user) return false;
  ++count;
  by_id_[session->id] = Entry{session, std::chrono::steady_clock::now()};
  id_by_key_[session->key] = session->id;
  return true;
}

void SessionTable::Remove(const std::string& id) {
  std::lock_guard<std::mutex> lock(mutex_);
  RemoveLocked(id);
}

void SessionTable::Clear() {
  std::lock_guard<std::mutex> lock(mutex_);
  by_id_.clear();
  id_by_key_.clear();
  count_by_user_.clear();
}

size_t SessionTable::size() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return by_id_.size();
}

std::vector<std::shared_ptr<UploadSession>> SessionTable::ExpireLocked(
    std::chrono::steady_clock::time_point now) {
  std::vector<std::shared_ptr<UploadSession>> dropped;
  for (auto it = by_id_.begin(); it != by_id_.end();) {
    auto next = std::next(it);
    if (now - it->second.last_used > idle_limit_) {
      dropped.push_back(it->second.session);
      RemoveLocked(it->first);
    }
    it = next;
  }
  return dropped;
}

void SessionTable::RemoveLocked(const std::string& id) {
  auto it = by_id_.find(id);
  if (it == by_id_.end()) return;
  auto key = id_by_key_.find(it->second.session->key);
  if (key != id_by_key_.end() && key->second == id) id_by_key_.erase(key);
  auto user = count_by_user_.find(it->second.session->ticket.user);
  if (user != count_by_user_.end() && --user->second == 0) count_by_user_.erase(user);
  by_id_.erase(it);
}

std::string NewSessionId() {
  unsigned char bytes[16];
  if (RAND_bytes(bytes, sizeof(bytes)) != 1) return std::string();
  return HexLower(bytes, sizeof(bytes));
}

}  // namespace zelmic
