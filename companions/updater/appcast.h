// The updater's appcast: what the update server offers, in a small text
// format of our own, and the versions it compares.
//
//   quor-appcast 1
//   version=6.0.9.0
//   notes=Connects faster after sleep.
//   url=https://downloads.example/QuorVPN-6.0.9.exe
//   size=9437184
//   signature=3f1c...(128 hexadecimal digits)
//
// UTF-8 text of at most kMaxBytes bytes; lines end with LF or CR LF. The
// first line is exactly "quor-appcast 1". Every other line is empty, a
// comment starting with "#", or "key=value":
//   version  required: one to four decimal parts separated by dots, each
//            0-65535 (the parts of a Windows version block); missing parts
//            are 0, so "6.1" is 6.1.0.0
//   notes    optional, at most kMaxNotes bytes, shown under the offer
//   url        optional, where the installer is
//   size       optional, the installer's length in bytes (decimal)
//   signature  optional, the ECDSA P-256 signature over the whole installer
//              (package_signature.h): 128 hexadecimal digits
// An offer can be installed only when it has all three; without them it is
// shown, and "Install update" says why it cannot go on.
// Keys are case-sensitive; an unknown key is ignored (a later format may add
// some), a key given twice is an error. No value may hold a control
// character other than a tab.
//
//   Appcast appcast;
//   std::string error;
//   if (!Appcast::Parse(body, appcast, error)) ShowError(error);
//   if (appcast.version > running) Offer(appcast);
//
// Thread: any; plain values.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace halyx::update {

struct Version {
  std::array<uint16_t, 4> parts{};

  // "6.0.9.0": always four parts.
  std::string ToString() const;
  // False, leaving `out` alone, unless `text` is one to four parts as above.
  static bool Parse(std::string_view text, Version& out);

  bool operator<(const Version& other) const { return parts < other.parts; }
  bool operator>(const Version& other) const { return other < *this; }
  bool operator==(const Version& other) const { return parts == other.parts; }
};

struct Appcast {
  static constexpr std::size_t kMaxBytes = 16 * 1024;
  static constexpr std::size_t kMaxNotes = 1024;

  Version version;
  std::string notes;
  std::string url;
  uint64_t size = 0;  // 0: not given
  std::string signature;

  // False with `error` saying what is wrong, in words for the user.
  static bool Parse(std::string_view text, Appcast& out, std::string& error);
};

}  // namespace halyx::update
