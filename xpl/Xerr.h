// Error codes of the platform layer: one signed code space shared by files, directories,
// processes and the environment, with a printable name for each code.
#pragma once

#include <cstdint>
#include <string>

using XErr = std::int32_t;

/// Every named code, as X(SUFFIX, value). The values are the Linux errno numbers of the same
/// suffix, so a code reads the same in a log line on either target; 41 and 58 have no name.
// clang-format off
#define XERR_NAMED_CODES(X) \
  X(PERM, 1) X(NOENT, 2) X(SRCH, 3) X(INTR, 4) X(IO, 5) X(NXIO, 6) X(2BIG, 7) X(NOEXEC, 8) \
  X(BADF, 9) X(CHILD, 10) X(AGAIN, 11) X(NOMEM, 12) X(ACCES, 13) X(FAULT, 14) X(NOTBLK, 15) \
  X(BUSY, 16) X(EXIST, 17) X(XDEV, 18) X(NODEV, 19) X(NOTDIR, 20) X(ISDIR, 21) X(INVAL, 22) \
  X(NFILE, 23) X(MFILE, 24) X(NOTTY, 25) X(TXTBSY, 26) X(FBIG, 27) X(NOSPC, 28) X(SPIPE, 29) \
  X(ROFS, 30) X(MLINK, 31) X(PIPE, 32) X(DOM, 33) X(RANGE, 34) X(DEADLK, 35) X(NAMETOOLONG, 36) \
  X(NOLCK, 37) X(NOSYS, 38) X(NOTEMPTY, 39) X(LOOP, 40) X(NOMSG, 42) X(IDRM, 43) X(CHRNG, 44) \
  X(L2NSYNC, 45) X(L3HLT, 46) X(L3RST, 47) X(LNRNG, 48) X(UNATCH, 49) X(NOCSI, 50) X(L2HLT, 51) \
  X(BADE, 52) X(BADR, 53) X(XFULL, 54) X(NOANO, 55) X(BADRQC, 56) X(BADSLT, 57) X(BFONT, 59) \
  X(NOSTR, 60) X(NODATA, 61) X(TIME, 62) X(NOSR, 63) X(NONET, 64) X(NOPKG, 65) X(REMOTE, 66) \
  X(NOLINK, 67) X(ADV, 68) X(SRMNT, 69) X(COMM, 70) X(PROTO, 71) X(MULTIHOP, 72) X(DOTDOT, 73) \
  X(BADMSG, 74) X(OVERFLOW, 75) X(NOTUNIQ, 76) X(BADFD, 77) X(REMCHG, 78) X(LIBACC, 79) \
  X(LIBBAD, 80) X(LIBSCN, 81) X(LIBMAX, 82) X(LIBEXEC, 83) X(ILSEQ, 84) X(RESTART, 85) \
  X(STRPIPE, 86) X(USERS, 87) X(NOTSOCK, 88) X(DESTADDRREQ, 89) X(MSGSIZE, 90) X(PROTOTYPE, 91) \
  X(NOPROTOOPT, 92) X(PROTONOSUPPORT, 93) X(SOCKTNOSUPPORT, 94) X(OPNOTSUPP, 95) \
  X(PFNOSUPPORT, 96) X(AFNOSUPPORT, 97) X(ADDRINUSE, 98) X(ADDRNOTAVAIL, 99) X(NETDOWN, 100) \
  X(NETUNREACH, 101) X(NETRESET, 102) X(CONNABORTED, 103) X(CONNRESET, 104) X(NOBUFS, 105) \
  X(ISCONN, 106) X(NOTCONN, 107) X(SHUTDOWN, 108) X(TOOMANYREFS, 109) X(TIMEDOUT, 110) \
  X(CONNREFUSED, 111) X(HOSTDOWN, 112) X(HOSTUNREACH, 113) X(ALREADY, 114) X(INPROGRESS, 115) \
  X(STALE, 116) X(UCLEAN, 117) X(NOTNAM, 118) X(NAVAIL, 119) X(ISNAM, 120) X(REMOTEIO, 121) \
  X(DQUOT, 122) X(NOMEDIUM, 123) X(MEDIUMTYPE, 124) X(CANCELED, 125) X(NOKEY, 126) \
  X(KEYEXPIRED, 127) X(KEYREVOKED, 128) X(KEYREJECTED, 129) X(OWNERDEAD, 130) \
  X(NOTRECOVERABLE, 131) X(RFKILL, 132) X(HWPOISON, 133)
// clang-format on

enum : XErr {
  XERR_FAILURE = -1,
  XERR_SUCCESS = 0,
#define XERR_ENUM_ENTRY(suffix, value) XERR_##suffix = value,
  XERR_NAMED_CODES(XERR_ENUM_ENTRY)
#undef XERR_ENUM_ENTRY
  /// An untranslated Windows error n is reported as XERR_WIN32_BASE + n.
  XERR_WIN32_BASE = 100000,
};

/// Fills the name and Windows tables. Run once at start-up, before any other thread uses the
/// layer; a second call rewrites the same values. Always returns XERR_SUCCESS.
XErr xerrLibInit();

/// The code for a Windows last-error number: its translation when it has one, otherwise
/// XERR_WIN32_BASE + n (with 32-bit wrap-around for numbers at or above 2^31 passed as
/// negative ints). Never XERR_SUCCESS, so a failure that left last-error 0 stays a failure.
XErr xerrFromWin32(int win32Error);

/// The name of a code ("XERR_NOENT"), or "NOTDEFINED: " and its decimal number.
std::string xerrToString(XErr code);
