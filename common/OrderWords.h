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
inline constexpr std::size_t kFrameFields = 5;

// One receive on either side carries at most this many bytes.
inline constexpr std::size_t kReceiveBufferSize = 2048;

}  // namespace vel::order
