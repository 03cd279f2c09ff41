#include "service/upload/delta_rebuild.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <system_error>
#include <thread>
#include <vector>

#include "common/md5_lanes.h"
#include "common/owned_digest.h"
#include "service/upload/file_io.h"
#include "service/upload/rebuild_output.h"

namespace zelmic {

namespace {

// Closes a descriptor when it goes out of scope.
class FdCloser {
 public:
  explicit FdCloser(int fd) : fd_(fd) {}
  ~FdCloser() {
    if (fd_ >= 0) ::close(fd_);
  }
  FdCloser(const FdCloser&) = delete;
  FdCloser& operator=(const FdCloser&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// The checksum list reads the stored version in runs of this many bytes.
constexpr size_t kChecksumReadBytes = 1 << 20;
// Below this many bytes per thread, starting one costs more than it saves.
constexpr uint64_t kChecksumBytesPerWorker = 8ull << 20;
// However many processors there are, one list takes at most this many threads.
constexpr size_t kMaxChecksumWorkers = 8;
// Whole blocks of a run hashed together: whole groups of 16 vector lanes.
constexpr size_t kLaneBatch = 64;
// From this size on, the rebuilt file is hashed and written by helper threads while it is copied.
constexpr uint64_t kRebuildHelpersFrom = 4ull << 20;

using plumet_common::DigestCtx;

}  // namespace

uint32_t BlockSizeFor(uint64_t stored_size) {
  uint64_t block = kMinBlockSize;
  while (block <= kMaxBlockSize && (stored_size + block - 1) / block > kMaxBlocks) block <<= 1;
  if (block > kMaxBlockSize || stored_size < block) return 0;
  return static_cast<uint32_t>(block);
}

namespace {

// Sums blocks [first, last) of the open file into their places in the list (n entries). Read in
// runs of kChecksumReadBytes, so a small block costs no system call of its own and a large one
// no more memory than a run.
Status SumBlocks(int fd, uint32_t block_size, size_t n, size_t first, size_t last, char* list,
                 const std::atomic<bool>& failed, const std::atomic<bool>* cancel) {
  const DigestCtx ctx = plumet_common::NewDigest(EVP_md5());
  if (!ctx) return Status::Error("MD5 failed");
  const uLong weak_start = adler32_z(0, Z_NULL, 0);
  uLong weak = weak_start;
  uint64_t in_block = 0;  // bytes of block i summed so far
  size_t i = first;
  std::vector<unsigned char> run(
      std::min<uint64_t>(kChecksumReadBytes, static_cast<uint64_t>(last - first) * block_size));
  std::array<size_t, kLaneBatch> lengths;
  lengths.fill(block_size);
  uint64_t at = static_cast<uint64_t>(first) * block_size;
  const uint64_t end = static_cast<uint64_t>(last) * block_size;
  while (at < end && !failed.load(std::memory_order_relaxed)) {
    if (cancel != nullptr && cancel->load(std::memory_order_relaxed)) {
      return Status::Error("stopped");
    }
    const size_t length = static_cast<size_t>(std::min<uint64_t>(run.size(), end - at));
    if (!PreadAll(fd, run.data(), length, at)) {
      return Status::Error("stored content is shorter than its record");
    }
    for (size_t used = 0; used < length;) {
      // Whole blocks lying in this run: their MD5s side by side, one per vector lane.
      if (in_block == 0 && length - used >= block_size) {
        const size_t count = std::min<size_t>((length - used) / block_size, kLaneBatch);
        const unsigned char* starts[kLaneBatch];
        plumet_common::Md5Bytes digests[kLaneBatch];
        for (size_t b = 0; b < count; ++b) {
          starts[b] = run.data() + used + b * block_size;
          const uLong sum = adler32_z(weak_start, starts[b], block_size);
          for (int k = 0; k < 4; ++k) {
            list[4 * (i + b) + k] = static_cast<char>((sum >> (8 * k)) & 0xff);
          }
        }
        if (!plumet_common::Md5Many(starts, lengths.data(), count, digests)) {
          return Status::Error("MD5 failed");
        }
        for (size_t b = 0; b < count; ++b) {
          std::memcpy(list + 4 * n + 16 * (i + b), digests[b].data(), digests[b].size());
        }
        i += count;
        used += count * block_size;
        continue;
      }
      const size_t take =
          static_cast<size_t>(std::min<uint64_t>(length - used, block_size - in_block));
      weak = adler32_z(weak, run.data() + used, take);
      if (EVP_DigestUpdate(ctx.get(), run.data() + used, take) != 1) {
        return Status::Error("MD5 failed");
      }
      used += take;
      in_block += take;
      if (in_block < block_size) continue;
      for (int b = 0; b < 4; ++b) list[4 * i + b] = static_cast<char>((weak >> (8 * b)) & 0xff);
      unsigned int digest_size = 0;
      if (EVP_DigestFinal_ex(ctx.get(), reinterpret_cast<unsigned char*>(list + 4 * n + 16 * i),
                             &digest_size) != 1 ||
          digest_size != 16 || EVP_DigestInit_ex(ctx.get(), EVP_md5(), nullptr) != 1) {
        return Status::Error("MD5 failed");
      }
      ++i;
      in_block = 0;
      weak = weak_start;
    }
    at += length;
  }
  return Status::OK();
}

}  // namespace

Status BuildChecksumList(const std::string& path, uint32_t block_size, uint64_t block_count,
                         std::string& list, const std::atomic<bool>* cancel) {
  if (block_size == 0 || block_count == 0 || block_count > kMaxBlocks) {
    return Status::Error("no blocks to describe");
  }
  FdCloser fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (fd.get() < 0) {
    return Status::Error("cannot open stored content: " + std::string(std::strerror(errno)));
  }
  const size_t n = static_cast<size_t>(block_count);
  list.assign(20 * n, '\0');
  // MD5 of every block is the whole cost and the blocks are independent: every processor takes
  // an equal run of them, each writing only its own entries. A small version stays on one thread.
  const size_t by_size =
      static_cast<size_t>(static_cast<uint64_t>(n) * block_size / kChecksumBytesPerWorker);
  const size_t workers = std::clamp<size_t>(
      std::min<size_t>(std::max(1u, std::thread::hardware_concurrency()), by_size), 1,
      kMaxChecksumWorkers);
  std::atomic<bool> failed{false};
  std::vector<Status> outcomes(workers);
  std::vector<std::thread> threads;
  auto run = [&](size_t w) {
    outcomes[w] = SumBlocks(fd.get(), block_size, n, n * w / workers, n * (w + 1) / workers,
                            list.data(), failed, cancel);
    if (!outcomes[w].ok()) failed.store(true);
  };
  for (size_t w = 1; w < workers; ++w) {
    try {
      threads.emplace_back(run, w);
    } catch (const std::system_error&) {
      // No thread to be had: this one does that share too.
      threads.emplace_back();
      run(w);
    }
  }
  run(0);
  for (std::thread& t : threads)
    if (t.joinable()) t.join();
  for (const Status& outcome : outcomes) {
    if (!outcome.ok()) return outcome;
  }
  return Status::OK();
}

namespace {

BlockMatch RecordAt(const char* record) {
  BlockMatch m;
  for (int i = 7; i >= 0; --i) m.offset = (m.offset << 8) | static_cast<unsigned char>(record[i]);
  m.block = static_cast<uint16_t>(static_cast<unsigned char>(record[8]) |
                                  (static_cast<unsigned char>(record[9]) << 8));
  return m;
}

}  // namespace

Status CheckMatchList(const std::string& body, uint32_t block_size, uint64_t block_count,
                      uint64_t file_size, uint64_t& count) {
  count = 0;
  if (block_size == 0) return Status::Error("no stored blocks to match against");
  if (body.size() % kMatchRecordSize != 0) {
    return Status::Error("the match list is not made of whole 10-byte records");
  }
  const size_t n = body.size() / kMatchRecordSize;
  if (n > file_size / block_size) {
    return Status::Error("more matches than blocks fit in the file");
  }
  uint64_t next_free = 0;  // first offset a further match may start at
  for (size_t i = 0; i < n; ++i) {
    const BlockMatch m = RecordAt(body.data() + i * kMatchRecordSize);
    if (m.block >= block_count) {
      return Status::Error("match " + std::to_string(i) + " names block " +
                           std::to_string(m.block) + " beyond the " + std::to_string(block_count) +
                           " stored blocks");
    }
    if (m.offset < next_free) {
      return Status::Error("match " + std::to_string(i) +
                           " overlaps or precedes the one before it");
    }
    if (m.offset > file_size || file_size - m.offset < block_size) {
      return Status::Error("match " + std::to_string(i) + " runs past the end of the file");
    }
    next_free = m.offset + block_size;
  }
  count = n;
  return Status::OK();
}

Status ParseMatchList(const std::string& body, uint32_t block_size, uint64_t block_count,
                      uint64_t file_size, std::vector<BlockMatch>& matches) {
  matches.clear();
  uint64_t count = 0;
  Status checked = CheckMatchList(body, block_size, block_count, file_size, count);
  if (!checked.ok()) return checked;
  matches.reserve(static_cast<size_t>(count));
  for (size_t i = 0; i < count; ++i)
    matches.push_back(RecordAt(body.data() + i * kMatchRecordSize));
  return Status::OK();
}

namespace {

// The rebuild over any source of checked matches; next() gives the following one, false at the end.
template <typename NextMatch>
Status Rebuild(const std::string& stored_path, const std::string& literal_path, NextMatch next,
               uint32_t block_size, uint64_t file_size, const std::string& out_path,
               std::string& sha1_hex) {
  FdCloser stored(::open(stored_path.c_str(), O_RDONLY | O_CLOEXEC));
  FdCloser literal(::open(literal_path.c_str(), O_RDONLY | O_CLOEXEC));
  FdCloser out(::open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
  if (stored.get() < 0 || literal.get() < 0 || out.get() < 0) {
    return Status::Error("cannot open the files of the rebuild: " +
                         std::string(std::strerror(errno)));
  }
  RebuildOutput output(out.get(), file_size >= kRebuildHelpersFrom);
  uint64_t literal_offset = 0;
  uint64_t written = 0;
  auto copy = [&](int fd, uint64_t offset, uint64_t n) {
    written += n;
    return output.CopyFrom(fd, offset, n);
  };
  // A copy fails on its source or on the new file; a failed write is what it says then.
  Status failure;
  auto fail = [&](std::string why) {
    failure =
        Status::Error(output.write_failed() ? "cannot write the rebuilt file" : std::move(why));
    return false;
  };
  // Matches of consecutive stored blocks at consecutive offsets, as an unchanged stretch of the
  // file gives them, are copied as one run.
  uint64_t run_offset = 0, run_length = 0, run_source = 0;
  auto copy_run = [&]() {
    if (run_length == 0) return true;
    const uint64_t gap = run_offset - written;
    if (run_offset < written || !copy(literal.get(), literal_offset, gap)) {
      return fail("the literal bytes end before the match at " + std::to_string(run_offset));
    }
    literal_offset += gap;
    if (!copy(stored.get(), run_source, run_length)) {
      return fail("cannot read stored block " + std::to_string(run_source / block_size));
    }
    run_length = 0;
    return true;
  };
  BlockMatch m;
  while (next(m)) {
    const uint64_t source = static_cast<uint64_t>(m.block) * block_size;
    if (run_length != 0 && m.offset == run_offset + run_length &&
        source == run_source + run_length) {
      run_length += block_size;
      continue;
    }
    if (!copy_run()) return failure;
    run_offset = m.offset, run_source = source, run_length = block_size;
  }
  if (!copy_run()) return failure;
  if (written > file_size || !copy(literal.get(), literal_offset, file_size - written)) {
    fail("the literal bytes end before the end of the file");
    return failure;
  }
  return output.Finish(sha1_hex);
}

}  // namespace

Status RebuildFile(const std::string& stored_path, const std::string& literal_path,
                   const std::vector<BlockMatch>& matches, uint32_t block_size, uint64_t file_size,
                   const std::string& out_path, std::string& sha1_hex) {
  size_t at = 0;
  auto next = [&](BlockMatch& m) {
    if (at == matches.size()) return false;
    m = matches[at++];
    return true;
  };
  return Rebuild(stored_path, literal_path, next, block_size, file_size, out_path, sha1_hex);
}

Status RebuildFileFromList(const std::string& stored_path, const std::string& literal_path,
                           const std::string& match_path, uint32_t block_size, uint64_t file_size,
                           const std::string& out_path, std::string& sha1_hex) {
  FdCloser list(::open(match_path.c_str(), O_RDONLY | O_CLOEXEC));
  if (list.get() < 0) {
    return Status::Error("cannot open the match list: " + std::string(std::strerror(errno)));
  }
  // Read in runs of records, so a long list costs a small fixed buffer.
  std::string chunk(kMatchRecordSize * 4096, '\0');
  size_t have = 0, used = 0;
  bool failed = false;
  auto next = [&](BlockMatch& m) {
    if (used == have) {
      const ssize_t n = ::read(list.get(), chunk.data(), chunk.size());
      if (n < 0 || n % static_cast<ssize_t>(kMatchRecordSize) != 0) failed = n != 0;
      if (n <= 0 || failed) return false;
      have = static_cast<size_t>(n);
      used = 0;
    }
    m = RecordAt(chunk.data() + used);
    used += kMatchRecordSize;
    return true;
  };
  Status rebuilt =
      Rebuild(stored_path, literal_path, next, block_size, file_size, out_path, sha1_hex);
  if (failed) return Status::Error("cannot read the match list");
  return rebuilt;
}

}  // namespace zelmic
