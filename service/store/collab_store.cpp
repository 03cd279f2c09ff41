#include "service/store/collab_store.h"

#include "service/store/file_rows.h"
#include "service/store/secrets.h"
#include "service/store/sqlite_util.h"

namespace zelmic {

namespace {
std::string JoinEmails(const std::vector<std::string>& emails) {
  std::string out;
  for (const auto& e : emails) out += (out.empty() ? "" : ",") + e;
  return out;
}
}  // namespace

Status CollabStore::AddMessage(int64_t user_id, int mount, const std::string& path,
                               const std::string& text, const std::vector<std::string>& emails) {
  auto lock = db_.Lock();
  auto f = rows::LoadFile(db_, mount, path, false);
  if (!f) return Fail(404, 40400, "no such file");
  Statement ins(
      db_.handle(),
      "INSERT INTO messages(file_id, user_id, text, emails, lasttime) VALUES(?, ?, ?, ?, ?)");
  if (!ins.bind(1, f->id)
           .bind(2, user_id)
           .bind(3, text)
           .bind(4, JoinEmails(emails))
           .bind(5, db_.Now())
           .run())
    return Fail(500, 50004, "cannot store the message");
  return {};
}

Status CollabStore::Messages(int mount, const std::string& path, int limit,
                             std::vector<Message>& out) const {
  auto lock = db_.Lock();
  auto f = rows::LoadFile(db_, mount, path, false);
  if (!f) return Fail(404, 40400, "no such file");
  if (limit <= 0) limit = 20;
  if (limit > 1000) limit = 1000;
  // The newest `limit` messages, oldest first.
  Statement q(
      db_.handle(),
      "SELECT text, name, lasttime FROM (SELECT m.id, m.text, COALESCE(u.name, '') AS name, "
      "m.lasttime FROM messages m LEFT JOIN users u ON u.id = m.user_id WHERE m.file_id = ? "
      "ORDER BY m.id DESC LIMIT ?) ORDER BY id ASC");
  q.bind(1, f->id).bind(2, limit);
  while (q.step()) out.push_back(Message{q.text(0), q.text(1), q.i64(2)});
  return {};
}

Status CollabStore::Share(int64_t user_id, int mount, const std::string& path,
                          const std::vector<std::string>& emails, const std::string& text) {
  auto lock = db_.Lock();
  auto f = rows::LoadFile(db_, mount, path, false);
  if (!f) return Fail(404, 40400, "no such file");
  Transaction tx(db_);
  if (!tx.ok()) return Fail(503, 50300, "the database is busy");
  for (const auto& e : emails) {
    Statement ins(db_.handle(),
                  "INSERT OR REPLACE INTO shares(file_id, email, user_id, message, dateline) "
                  "VALUES(?, ?, ?, ?, ?)");
    if (!ins.bind(1, f->id).bind(2, e).bind(3, user_id).bind(4, text).bind(5, db_.Now()).run())
      return Fail(500, 50004, "cannot store the share");
  }
  if (!tx.Commit()) return Fail(500, 50005, "cannot commit");
  return {};
}

Status CollabStore::Publish(int mount, const std::string& path, bool set, int64_t day_limit,
                            int64_t download_limit, PublishInfo& out) {
  if (set && (day_limit < 0 || day_limit > kMaxDayLimit))
    return Fail(400, 40009, "day_limit must be between 0 and " + std::to_string(kMaxDayLimit));
  if (set && (download_limit < 0 || download_limit > kMaxDownloadLimit))
    return Fail(400, 40010,
                "download_limit must be between 0 and " + std::to_string(kMaxDownloadLimit));
  auto lock = db_.Lock();
  auto f = rows::LoadFile(db_, mount, path, false);
  if (!f) return Fail(404, 40400, "no such file");
  if (!f->published) {
    Statement pub(db_.handle(),
                  "UPDATE files SET publish_key = ?, day_limit = 0, download_limit = 0, "
                  "downloads = 0, publish_expires = 0 WHERE id = ?");
    if (!pub.bind(1, RandomHex(16)).bind(2, f->id).run()) return Fail(500, 50004, "cannot publish");
  }
  if (set) {
    Statement lim(db_.handle(),
                  "UPDATE files SET day_limit = ?, download_limit = ?, downloads = 0, "
                  "publish_expires = ? WHERE id = ?");
    lim.bind(1, day_limit)
        .bind(2, download_limit)
        .bind(3, day_limit ? db_.Now() + day_limit * 86400 : 0);
    if (!lim.bind(4, f->id).run()) return Fail(500, 50004, "cannot set the limits");
  }
  Statement q(
      db_.handle(),
      "SELECT publish_key, day_limit, download_limit, downloads, publish_expires FROM files "
      "WHERE id = ?");
  q.bind(1, f->id);
  if (!q.step()) return Fail(500, 50004, "cannot read the link");
  out = PublishInfo{q.text(0), q.i64(1), q.i64(2), q.i64(3), q.i64(4)};
  return {};
}

std::optional<DownloadTarget> CollabStore::ResolvePublished(const std::string& key, bool count) {
  if (key.empty()) return std::nullopt;
  auto lock = db_.Lock();
  Statement q(db_.handle(),
              "SELECT f.id, v.filehash, v.filesize, f.path, f.download_limit, f.downloads, "
              "f.publish_expires FROM files f JOIN versions v ON v.file_id = f.id AND "
              "v.version = f.version WHERE f.publish_key = ? AND f.deleted = 0");
  q.bind(1, key);
  if (!q.step()) return std::nullopt;
  const int64_t limit = q.i64(4), downloads = q.i64(5), expires = q.i64(6);
  if ((limit != 0 && downloads >= limit) || (expires != 0 && expires < db_.Now()))
    return std::nullopt;
  if (count) {
    Statement counter(db_.handle(), "UPDATE files SET downloads = downloads + 1 WHERE id = ?");
    counter.bind(1, q.i64(0)).run();
  }
  return DownloadTarget{blobs_.BlobPath(q.text(1)), q.i64(2),
                        q.text(3).substr(q.text(3).rfind('/') + 1), q.text(1)};
}

}  // namespace zelmic
