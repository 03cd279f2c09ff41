// The name a conflicting upload is stored under, beside the file it would have overwritten, and
// which failed service calls are worth asking again.

#include "upload/upload_job.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <ctime>
#include <string>

#include "upload/service_calls.h"

namespace plumet {
namespace {

constexpr int64_t kSample = 1796679015;  // 2026-12-07 21:30:15 UTC

TEST(ConflictCopyPath, KeepsFolderStemAndExtension) {
  // The stamp is local time: fix the zone so that the names are known.
  ASSERT_EQ(0, setenv("TZ", "UTC", 1));
  tzset();
  struct Case {
    const wchar_t* path;
    int64_t now;
    const wchar_t* copy;
  };
  for (const Case& c : {
           Case{L"/a/notes.txt", kSample, L"/a/notes (冲突副本 2026-12-07 213015).txt"},
           Case{L"/a/archive.tar.gz", kSample, L"/a/archive.tar (冲突副本 2026-12-07 213015).gz"},
           Case{L"/a/Makefile", kSample, L"/a/Makefile (冲突副本 2026-12-07 213015)"},
           Case{L"/home/.bashrc", kSample, L"/home/.bashrc (冲突副本 2026-12-07 213015)"},
           Case{L"/v1.2/README", kSample, L"/v1.2/README (冲突副本 2026-12-07 213015)"},
           Case{L"plan.doc", kSample, L"plan (冲突副本 2026-12-07 213015).doc"},
           Case{L"/文档/报告.docx", 0, L"/文档/报告 (冲突副本 1970-01-01 000000).docx"},
           Case{L"/x.txt", kSample + 3600 * 3 - 15, L"/x (冲突副本 2026-12-08 003000).txt"},
       }) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(std::wstring(c.copy), ConflictCopyPath(c.path, c.now));
  }
}

TEST(ConflictCopyPath, FollowsTheLocalZone) {
  ASSERT_EQ(0, setenv("TZ", "CST-8", 1));
  tzset();
  EXPECT_EQ(L"/a/notes (冲突副本 2026-12-08 053015).txt",
            ConflictCopyPath(L"/a/notes.txt", kSample));
  ASSERT_EQ(0, setenv("TZ", "UTC", 1));
  tzset();
}

TEST(ServiceCalls, OnlyTroubleThatMayHealIsAskedAgain) {
  // Five-digit codes carry the HTTP status in their first three digits; 10061 is no answer.
  struct Case {
    int32_t code;
    bool trouble;
    UploadEnd registration;
  };
  for (const Case& c :
       {Case{10061, true, UploadEnd::kRetry}, Case{500, true, UploadEnd::kRetry},
        Case{50300, true, UploadEnd::kRetry}, Case{42900, true, UploadEnd::kRetry},
        Case{408, true, UploadEnd::kRetry}, Case{40100, false, UploadEnd::kRetry},
        Case{40300, false, UploadEnd::kPermanent}, Case{40400, false, UploadEnd::kRetry},
        Case{400, false, UploadEnd::kPermanent}, Case{40904, false, UploadEnd::kPermanent}}) {
    SCOPED_TRACE(c.code);
    EXPECT_EQ(c.trouble, IsServiceTrouble(c.code));
    EXPECT_EQ(c.registration, RegistrationEnd(c.code));
  }
}

}  // namespace
}  // namespace plumet
