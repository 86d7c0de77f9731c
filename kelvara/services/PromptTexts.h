// The texts of the library's message boxes and connection notices, in the
// Chinese the library has always shown. Kept in one place so programs that
// show them (the kelvara tool explains each one) name the same texts.
#pragma once

#include <string_view>

namespace kelvara::prompt {

inline constexpr std::string_view kOutOfMemory = "内存不足!";
inline constexpr std::string_view kCardReversed = "卡可能插反或没有初始化!";
inline constexpr std::string_view kInsertCard = "请将IC卡插入读卡器中!";
inline constexpr std::string_view kConnectFailed = "连接读卡器失败,USB设备请重新拔插连接线,重试？";
inline constexpr std::string_view kCrcError = "CRC校验出错!";
inline constexpr std::string_view kReadError = "读卡出错! 重试?";
inline constexpr std::string_view kWriteError = "写卡出错! 重试?";
inline constexpr std::string_view kNoSpace = "IC卡空间不足!";
inline constexpr std::string_view kPathTooLong = "IC卡文件路径过长!";
inline constexpr std::string_view kDamagedCard = "IC卡格式信息损坏,请先修复!";

// Connection notices.
inline constexpr std::string_view kConnecting = "正在连接读卡器\r\n请稍候...";
inline constexpr std::string_view kConnectingGc481 = "正在连接GC481读卡器\r\n请稍候...";
inline constexpr std::string_view kConnectingMcs = "正在连接MCS-C读卡器\r\n请稍候...";
inline constexpr std::string_view kConnectingWqn = "正在连接Wqn读卡器\r\n请稍候...";

} // namespace kelvara::prompt
