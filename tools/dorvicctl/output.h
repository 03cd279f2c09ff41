#pragma once
// The library's records as JSON objects (cJSON), texts as UTF-8.

#include <cjson/cJSON.h>
#include <dorvic/dorvic.h>

#include <string>

namespace dorvicctl {

void AddText(cJSON* object, const char* key, const std::wstring& text);
void AddNumber(cJSON* object, const char* key, double value);

cJSON* FileEntryJson(const dorvic_file_stx& entry);
cJSON* RegetJson(const dorvic_file_reget& file);
cJSON* VersionJson(const dorvic_file_version& version);
cJSON* MessageJson(const dorvic_remind_msg& message);

}  // namespace dorvicctl
