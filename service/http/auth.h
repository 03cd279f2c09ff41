#pragma once
// Request authentication of the REST interface: the Authorization value is the access token, ":"
// and the Base64 HMAC-SHA1 of lowercase verb, Date text, mount and request path (as sent, query
// included), joined by line feeds and keyed with the shared secret.

#include <ctime>
#include <string>

namespace zelmic {

std::string Base64Encode(const std::string& bytes);

// The 28-character signature a client computes for these values.
std::string ComputeSignature(const std::string& secret, const std::string& verb,
                             const std::string& date, int mount, const std::string& request_path);

// Splits "token:signature" at the last colon; false when either part is empty.
bool SplitAuthorization(const std::string& value, std::string& token, std::string& signature);

// The Date text is the client's local wall-clock time followed by "GMT" ("%a, %d %b %y %H:%M:%S
// GMT"); wall receives it read as if it were UTC. False when the text does not have that form.
bool ParseRequestDate(const std::string& text, time_t& wall);

// Since the text is local time of an unknown zone, a date is plausible when it lies within the
// span of the world's zone offsets (UTC-12 to UTC+14) around now, plus a quarter hour of skew.
bool DatePlausible(time_t wall, time_t now);

}  // namespace zelmic
