// The order vocabulary of the text protocol between library and daemon.
#pragma once

#include <cstddef>

namespace vel::order {

// Order names.
inline constexpr char kOpen[] = "open";
inline constexpr char kClose[] = "close";
inline constexpr char kPort[] = "port";
inline constexpr char kCompt[] = "compt";
inline constexpr char kShut[] = "shut";
// A client gives its process id and baud index and gets an identity of its own on the
// channel: its settings, requests and results are then its own.
inline constexpr char kUser[] = "user";
// Lists the channel's users.
inline constexpr char kUsers[] = "users";
// How a machine's replies end: frame,channel,mc_num,kind,length|
inline constexpr char kFrame[] = "frame";

// Response words.
inline constexpr char kOpSuc[] = "opsuc";
inline constexpr char kOpAlr[] = "opalr";
inline constexpr char kOpErr[] = "operr";
inline constexpr char kClSuc[] = "clsuc";
inline constexpr char kClUse[] = "cluse";
inline constexpr char kClErr[] = "clerr";
inline constexpr char kCpSuc[] = "cpsuc";
inline constexpr char kCpErr[] = "cperr";
inline constexpr char kFrSuc[] = "frsuc";
inline constexpr char kFrErr[] = "frerr";
inline constexpr char kErr1[] = "err1";
// "us" followed by the identity in decimal, e.g. "us7".
inline constexpr char kUsPrefix[] = "us";
inline constexpr char kUsErr[] = "userr";
// "ul" followed by one entry per user, joined by ';': identity (0 for the channel's own
// settings), process id, baud index, selection mask and request lengths of machines 1..15
// in hexadecimal, end of the last cycle in milliseconds of the wall clock (0 never), joined
// by ':'. Example: "ul0:0:3:0000:000000000000000000000000000000:0;7:4242:5:0003:02020000…".
inline constexpr char kUlPrefix[] = "ul";
inline constexpr char kUlErr[] = "ulerr";
inline constexpr char kUserSeparator = ';';
inline constexpr char kUserFieldSeparator = ':';

// Internal results, never transmitted.
inline constexpr char kFinish[] = "finish";
inline constexpr char kCloseFd[] = "close-fd";
inline constexpr char kNoReply[] = "";

inline constexpr char kTerminator = '|';
inline constexpr char kFieldSeparator = ',';

// Total field counts, order name included.
inline constexpr std::size_t kOpenFields = 4;
inline constexpr std::size_t kCloseFields = 2;
inline constexpr std::size_t kPortFields = 8;
inline constexpr std::size_t kComptFields = 3;
inline constexpr std::size_t kUserFields = 4;
inline constexpr std::size_t kUsersFields = 2;
inline constexpr std::size_t kFrameFields = 5;

// One receive on either side carries at most this many bytes.
inline constexpr std::size_t kReceiveBufferSize = 2048;

}  // namespace vel::order
