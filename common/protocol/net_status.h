// Status words of the networking library Communication.dll, for submission and completion alike.
// Any of the two failure bits set means failure; everything else is success.
#pragma once
#include <cstdint>

namespace protocol {

constexpr uint32_t kNetFailureBits = 0x60000000u;

inline bool NetFailed(uint32_t status) { return (status & kNetFailureBits) != 0; }

// Completion: a 2xx answer reports its HTTP status code as it is (200, 204, ...). Failures:
constexpr uint32_t kNetFailHttpStatus = 0x60000000u;  // | the HTTP status code of a non-2xx answer
constexpr uint32_t kNetFailTransport = 0x60100000u;   // | the system's error code (no answer at all)
constexpr uint32_t kNetFailTimeLimit = 0x60200000u;   // the request's time limit ran out
// Submission (the request is then not outstanding and no completion follows):
constexpr uint32_t kNetAccepted = 0;
constexpr uint32_t kNetFailBadRequest = 0x60400000u;   // record unusable (kind, URL, limit, body)
constexpr uint32_t kNetFailNoResources = 0x60800000u;  // no memory or no thread for the request
constexpr uint32_t kNetFailNotReady = 0x60C00000u;     // no completion callback registered yet

}  // namespace protocol
