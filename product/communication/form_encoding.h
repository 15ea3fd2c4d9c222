// How Communication.dll puts a request on the wire (platform-free): the form body of a field post,
// the URL checks, the time limit and the kept answer.
//
// Every function takes and returns values and keeps nothing; false from IsCarriedUrl means the
// library refuses the request.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace communication {

// UTF-8 bytes with everything but A-Z a-z 0-9 - . _ ~ as %XX (upper-case hex; a space is %20).
std::string PercentEncode(const std::string& utf8);
// name=value pairs joined by "&", in the given order, names and values UTF-8 and percent-encoded.
std::string EncodeForm(const std::vector<std::pair<std::wstring, std::wstring>>& fields);

// Only http and https URLs are carried (scheme compared without regard to case).
bool IsCarriedUrl(const std::wstring& url);

// The whole request's time limit in milliseconds for a limitValue in seconds; 0 = unusable value.
uint32_t TimeLimitMs(uint32_t limitSeconds);
constexpr uint32_t kMaxLimitSeconds = 3600;

// The answer text kept for the caller: at most `cap` bytes (a cap of 0 or above the library's own
// ceiling means the ceiling).
size_t KeptAnswerBytes(uint32_t cap);
constexpr size_t kAnswerCeilingBytes = 1 << 20;

// A 2xx answer is success.
inline bool IsSuccessStatus(uint32_t httpStatus) { return httpStatus >= 200 && httpStatus <= 299; }

}  // namespace communication
