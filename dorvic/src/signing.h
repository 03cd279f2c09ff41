#pragma once
// The request signature: Date text, machine name and the Authorization value.

#include <cstdint>
#include <ctime>
#include <string>

namespace dorvic {

// "%a, %d %b %y %H:%M:%S GMT" of the local wall-clock time at `when` (TZ applies; the time is not
// converted to UTC despite the word GMT), in the C locale whatever the process locale is.
std::string FormatRequestDate(std::time_t when);

// FormatRequestDate of the current time.
std::string MakeRequestDate();

// The host name, cut to 15 characters; empty when it cannot be read.
std::wstring GetMachineName();

// The text the signature covers: lowercase verb, date, mount and request path joined by "\n".
std::string StringToSign(const std::string& verb, const std::string& date, int32_t mount,
                         const std::string& request_path);

// Base64 (standard alphabet, padded, no line breaks) of the HMAC-SHA1 of `message` keyed with
// `key`: 28 characters. An empty key signs too.
std::string HmacSha1Base64(const std::string& key, const std::string& message);

// The Authorization value: UTF-8 token, ":", HmacSha1Base64(secret, StringToSign(...)).
std::string SignRequest(const std::string& secret, const std::wstring& token,
                        const std::string& verb, const std::string& date, int32_t mount,
                        const std::string& request_path);

}  // namespace dorvic
