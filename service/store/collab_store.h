#pragma once
// What people do around a file: remarks and discussion, sharing with others, published links.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "service/store/blob_store.h"
#include "service/store/database.h"
#include "service/store/status.h"
#include "service/store/store_records.h"

namespace zelmic {

class CollabStore {
 public:
  CollabStore(const Database& db, const BlobStore& blobs) : db_(db), blobs_(blobs) {}

  Status AddMessage(int64_t user_id, int mount, const std::string& path, const std::string& text,
                    const std::vector<std::string>& emails);
  Status Messages(int mount, const std::string& path, int limit, std::vector<Message>& out) const;
  Status Share(int64_t user_id, int mount, const std::string& path,
               const std::vector<std::string>& emails, const std::string& text);
  // Publishes the file (once; later calls keep the key), setting the limits when `set`.
  Status Publish(int mount, const std::string& path, bool set, int64_t day_limit,
                 int64_t download_limit, PublishInfo& out);
  // The content behind a published link, counted against its limits unless `count` is false
  // (as for HEAD).
  std::optional<DownloadTarget> ResolvePublished(const std::string& key, bool count = true);

  static constexpr int64_t kMaxDayLimit = 365;
  static constexpr int64_t kMaxDownloadLimit = 10000;

 private:
  const Database& db_;
  const BlobStore& blobs_;
};

}  // namespace zelmic
