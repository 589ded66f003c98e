// The CRC-32 of message parts and the nine part CRCs of a signature.
//
// The CRC is the standard one of ISO 3309 / IEEE 802.3 (reflected
// polynomial 0xEDB88320, initial value and final exclusive-or 0xFFFFFFFF),
// computed by zlib; the CRC of the three bytes "abc" is 0x352441C2.
//
// Stateless; safe from any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace quarn {

// The parts of a signature, in their fixed order.
inline constexpr int kPartCount = 9;
inline constexpr int kFromPart = 0;
inline constexpr int kSubjectPart = 1;
inline constexpr int kReceivedPart = 2;
inline constexpr int kMessageIdPart = 3;
inline constexpr int kFirstBodyPart = 4;
inline constexpr int kBodyPartCount = 5;

// From, Subject, Received, Message ID, Body 1 to Body 5; 0 = part not found.
using PartCrcs = std::array<std::uint32_t, kPartCount>;

// The CRC-32 of `length` bytes.
std::uint32_t do_crc(const void* bytes, std::size_t length);
inline std::uint32_t do_crc(std::string_view text) { return do_crc(text.data(), text.size()); }

// Continues a CRC over more bytes: crc_extend(do_crc(a), b) == do_crc(a + b).
std::uint32_t crc_extend(std::uint32_t crc, const void* bytes, std::size_t length);

}  // namespace quarn
