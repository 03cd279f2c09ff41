#pragma once
// Gives back the space of content nobody can reach any more: deleted files and replaced versions
// once their keeping time is over, and blobs that no version refers to (left by a crash between
// placing a blob and committing its row, or by rows that went).
//
// Rows go first, in one transaction; their blobs then go in another, each only when no version
// refers to it and no commit in flight has pinned it (BlobStore::RemoveIfUnused). A crash between
// the two leaves unreferenced blobs, which the sweep at the next start removes.

#include <cstdint>

#include "service/store/blob_store.h"
#include "service/store/database.h"
#include "service/store/status.h"

namespace zelmic {

class SpaceKeeper {
 public:
  SpaceKeeper(const Database& db, const BlobStore& blobs) : db_(db), blobs_(blobs) {}

  // Removes up to max_rows deleted files (deleted before `cutoff`, with their history) and
  // versions replaced before `cutoff`, then the blobs only they referred to. `purged` receives
  // how many rows went; fewer than max_rows means nothing more is due.
  Status PurgeRound(int64_t cutoff, int max_rows, int& purged) const;
  // Removes every blob last changed before `older_than` that no version refers to. A blob a
  // live `zelmicd put` still holds locked stays.
  Status SweepOrphans(int64_t older_than, int& removed) const;

 private:
  const Database& db_;
  const BlobStore& blobs_;
};

}  // namespace zelmic
