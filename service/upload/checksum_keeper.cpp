#include "service/upload/checksum_keeper.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <new>
#include <system_error>

#include "platform/thread_priority.h"
#include "service/upload/delta_rebuild.h"
#include "service/upload/file_io.h"

namespace zelmic {

namespace {

constexpr char kMagic[4] = {'Z', 'S', 'L', '1'};
constexpr size_t kHeaderSize = 16;  // magic, block size (32-bit), block count (64-bit)
constexpr size_t kTrailerSize = 4;  // CRC-32 of header and list
// The background thread runs this much nicer than the threads that answer requests.
constexpr int kBackgroundNice = 10;

uint64_t KeptSize(uint64_t block_count) { return kHeaderSize + 20 * block_count + kTrailerSize; }

void PutLe(char* at, uint64_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) at[i] = static_cast<char>((value >> (8 * i)) & 0xff);
}

uint64_t GetLe(const char* at, int bytes) {
  uint64_t value = 0;
  for (int i = bytes - 1; i >= 0; --i) value = (value << 8) | static_cast<unsigned char>(at[i]);
  return value;
}

uint32_t Crc(const char* data, size_t size) {
  return static_cast<uint32_t>(
      crc32_z(crc32_z(0, Z_NULL, 0), reinterpret_cast<const Bytef*>(data), size));
}

bool IsSha1Hex(const std::string& text) {
  return text.size() == 40 && text.find_first_not_of("0123456789abcdef") == std::string::npos;
}

// The kept list at path, when the file is whole and describes block_count blocks of block_size.
bool ReadKept(const std::string& path, uint32_t block_size, uint64_t block_count,
              std::string& list) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  struct stat st;
  const uint64_t size = KeptSize(block_count);
  std::string bytes;
  bool ok = ::fstat(fd, &st) == 0 && static_cast<uint64_t>(st.st_size) == size;
  if (ok) {
    bytes.resize(size);
    ok = PreadAll(fd, bytes.data(), bytes.size(), 0);
  }
  ::close(fd);
  const size_t body = size - kTrailerSize;
  if (!ok || std::memcmp(bytes.data(), kMagic, sizeof kMagic) != 0 ||
      GetLe(bytes.data() + 4, 4) != block_size || GetLe(bytes.data() + 8, 8) != block_count ||
      GetLe(bytes.data() + body, 4) != Crc(bytes.data(), body)) {
    return false;
  }
  list.assign(bytes, kHeaderSize, 20 * block_count);
  return true;
}

// Writes the list under a temporary name beside path and renames it into place, so a reader
// sees the old file or the whole new one. No fsync: a torn file fails its check and is redone.
void Keep(const std::string& path, uint32_t block_size, uint64_t block_count,
          const std::string& list) {
  std::error_code ec;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(), ec);
  if (ec) return;
  std::string bytes(kHeaderSize, '\0');
  std::memcpy(bytes.data(), kMagic, sizeof kMagic);
  PutLe(bytes.data() + 4, block_size, 4);
  PutLe(bytes.data() + 8, block_count, 8);
  bytes += list;
  char crc[kTrailerSize];
  PutLe(crc, Crc(bytes.data(), bytes.size()), 4);
  bytes.append(crc, sizeof crc);
  // One name per list: a crash leaves at most one stray temporary per list, which the next
  // keeping of that list overwrites. Two writers of one list are kept apart by the busy set.
  const std::string tmp = path + ".tmp";
  const int fd = ::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
  if (fd < 0) return;
  const bool written = WriteAll(fd, bytes.data(), bytes.size());
  const bool closed = ::close(fd) == 0;
  if (!written || !closed || std::rename(tmp.c_str(), path.c_str()) != 0) ::unlink(tmp.c_str());
}

// Takes a key out of the busy set, and tells whoever waits for it, however the computation ends.
class BusyGuard {
 public:
  BusyGuard(std::mutex& mutex, std::set<std::string>& busy, std::condition_variable& done,
            std::string key)
      : mutex_(mutex), busy_(busy), done_(done), key_(std::move(key)) {}
  ~BusyGuard() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      busy_.erase(key_);
    }
    done_.notify_all();
  }
  BusyGuard(const BusyGuard&) = delete;
  BusyGuard& operator=(const BusyGuard&) = delete;

 private:
  std::mutex& mutex_;
  std::set<std::string>& busy_;
  std::condition_variable& done_;
  std::string key_;
};

}  // namespace

ChecksumKeeper::ChecksumKeeper(std::string data_dir, uint64_t prepare_from)
    : dir_(std::move(data_dir)), prepare_from_(prepare_from) {}

ChecksumKeeper::~ChecksumKeeper() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_.store(true);
    queue_.clear();
  }
  work_ready_.notify_all();
  if (worker_.joinable()) worker_.join();
}

std::string ChecksumKeeper::KeptPath(const std::string& filehash, uint32_t block_size) const {
  if (!IsSha1Hex(filehash) || block_size == 0) return {};
  return dir_ + "/sums/" + filehash.substr(0, 2) + "/" + filehash + "-" +
         std::to_string(block_size);
}

Status ChecksumKeeper::ComputeAndKeep(const StoredContent& c, uint32_t block_size,
                                      uint64_t block_count, const std::string& path,
                                      std::string& list, const std::atomic<bool>* cancel) {
  ++computations_;
  Status built = BuildChecksumList(c.blob_path, block_size, block_count, list, cancel);
  if (!built.ok()) return built;
  Keep(path, block_size, block_count, list);
  return Status::OK();
}

Status ChecksumKeeper::List(const StoredContent& c, uint32_t block_size, uint64_t block_count,
                            std::string& list) {
  const std::string path = KeptPath(c.filehash, block_size);
  if (!path.empty()) {
    // Another computation of the same list may end without keeping it (stopped, or the file
    // cannot be written); after waiting for two such, this one computes for itself.
    for (int round = 0; round < 2; ++round) {
      if (ReadKept(path, block_size, block_count, list)) return Status::OK();
      std::unique_lock<std::mutex> lock(mutex_);
      // Queued but not started: computed here and now, at the priority of the waiting request.
      std::erase_if(queue_, [&](const Job& job) { return job.key == path; });
      if (busy_.insert(path).second) {
        lock.unlock();
        BusyGuard guard(mutex_, busy_, done_, path);
        return ComputeAndKeep(c, block_size, block_count, path, list, nullptr);
      }
      done_.wait(lock, [&] { return busy_.count(path) == 0; });
    }
  }
  ++computations_;
  return BuildChecksumList(c.blob_path, block_size, block_count, list);
}

void ChecksumKeeper::Prepare(const StoredContent& c) {
  const uint32_t block_size = BlockSizeFor(c.size);
  if (block_size == 0 || c.size < prepare_from_) return;
  const uint64_t block_count = FullBlockCount(c.size, block_size);
  const std::string path = KeptPath(c.filehash, block_size);
  if (path.empty()) return;
  // Kept already as far as a glance tells; List checks it whole when it is used.
  struct stat st;
  if (::stat(path.c_str(), &st) == 0 &&
      static_cast<uint64_t>(st.st_size) == KeptSize(block_count)) {
    return;
  }
  std::lock_guard<std::mutex> lock(mutex_);
  if (stop_.load() || busy_.count(path) != 0 || queue_.size() >= kMaxQueued ||
      std::any_of(queue_.begin(), queue_.end(), [&](const Job& job) { return job.key == path; })) {
    return;
  }
  if (!worker_.joinable()) {
    try {
      worker_ = std::thread(&ChecksumKeeper::Work, this);
    } catch (const std::system_error&) {
      return;  // no thread to be had: lists are computed on demand
    }
  }
  queue_.push_back(Job{c, block_size, block_count, path});
  work_ready_.notify_one();
}

void ChecksumKeeper::Work() {
  // The sum threads BuildChecksumList starts inherit this.
  platform::LowerThreadPriority(kBackgroundNice);
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    work_ready_.wait(lock, [&] { return stop_.load() || !queue_.empty(); });
    if (stop_.load()) return;
    Job job = std::move(queue_.front());
    queue_.pop_front();
    if (!busy_.insert(job.key).second) continue;  // a List is computing it right now
    lock.unlock();
    {
      BusyGuard guard(mutex_, busy_, done_, job.key);
      std::string list;
      try {
        if (!ReadKept(job.key, job.block_size, job.block_count, list)) {
          // A list not computed here is computed on demand, which reports why.
          (void)ComputeAndKeep(job.content, job.block_size, job.block_count, job.key, list, &stop_);
        }
      } catch (const std::bad_alloc&) {
        // Left to be computed on demand.
      }
    }
    lock.lock();
  }
}

}  // namespace zelmic
