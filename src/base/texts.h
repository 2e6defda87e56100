// The system's own texts, as the GBK bytes that go into the report and the
// progress list. Source files are UTF-8, so the bytes are spelled out; the
// comment above each one shows it as UTF-8. Front ends decode these for display.
#pragma once

namespace zandrel::texts {

// "\r\n问题描述：%s\r\n"
inline constexpr char kTextProblemLine[] = "\r\n\xCE\xCA\xCC\xE2\xC3\xE8\xCA\xF6\xA3\xBA%s\r\n";
// "=============================获取系统网络信息============================="
inline constexpr char kBannerNetworkInfo[] = "=============================\xBB\xF1\xC8\xA1\xCF\xB5\xCD\xB3\xCD\xF8\xC2\xE7\xD0\xC5\xCF\xA2=============================";
// "正在获取系统网络信息..."
inline constexpr char kTextGettingNetworkInfo[] = "\xD5\xFD\xD4\xDA\xBB\xF1\xC8\xA1\xCF\xB5\xCD\xB3\xCD\xF8\xC2\xE7\xD0\xC5\xCF\xA2...";
// "系统网络信息获取成功！"
inline constexpr char kTextNetworkInfoOk[] = "\xCF\xB5\xCD\xB3\xCD\xF8\xC2\xE7\xD0\xC5\xCF\xA2\xBB\xF1\xC8\xA1\xB3\xC9\xB9\xA6\xA3\xA1";
// "=========================================================================="
inline constexpr char kBannerClosing[] = "==========================================================================";
// "=============================获取系统模块状态============================="
inline constexpr char kBannerModuleStatus[] = "=============================\xBB\xF1\xC8\xA1\xCF\xB5\xCD\xB3\xC4\xA3\xBF\xE9\xD7\xB4\xCC\xAC=============================";
// "正在获取系统模块信息..."
inline constexpr char kTextGettingModuleInfo[] = "\xD5\xFD\xD4\xDA\xBB\xF1\xC8\xA1\xCF\xB5\xCD\xB3\xC4\xA3\xBF\xE9\xD0\xC5\xCF\xA2...";
// "系统模块信息获取成功！"
inline constexpr char kTextModuleInfoOk[] = "\xCF\xB5\xCD\xB3\xC4\xA3\xBF\xE9\xD0\xC5\xCF\xA2\xBB\xF1\xC8\xA1\xB3\xC9\xB9\xA6\xA3\xA1";
// "正在获取系统CPU占用率..."
inline constexpr char kTextGettingCpu[] = "\xD5\xFD\xD4\xDA\xBB\xF1\xC8\xA1\xCF\xB5\xCD\xB3" "CPU\xD5\xBC\xD3\xC3\xC2\xCA...";
// "    CPU占用率为：%d\r\n"
inline constexpr char kFormatCpuLine[] = "    CPU\xD5\xBC\xD3\xC3\xC2\xCA\xCE\xAA\xA3\xBA%d\r\n";
// "正在获取系C盘剩余空间大小..."
inline constexpr char kTextGettingDisk[] = "\xD5\xFD\xD4\xDA\xBB\xF1\xC8\xA1\xCF\xB5" "C\xC5\xCC\xCA\xA3\xD3\xE0\xBF\xD5\xBC\xE4\xB4\xF3\xD0\xA1...";
// "    C盘剩余空间为：%4.2fGB\r\n"
inline constexpr char kFormatDiskGB[] = "    C\xC5\xCC\xCA\xA3\xD3\xE0\xBF\xD5\xBC\xE4\xCE\xAA\xA3\xBA%4.2fGB\r\n";
// "    C盘剩余空间为：%4.2fMB\r\n"
inline constexpr char kFormatDiskMB[] = "    C\xC5\xCC\xCA\xA3\xD3\xE0\xBF\xD5\xBC\xE4\xCE\xAA\xA3\xBA%4.2fMB\r\n";
// "===============================网络状态检测==============================="
inline constexpr char kBannerNetworkCheck[] = "===============================\xCD\xF8\xC2\xE7\xD7\xB4\xCC\xAC\xBC\xEC\xB2\xE2===============================";
// "获取进程列表失败,请重新执行检测操作！"
inline constexpr char kTextProcessListFailed[] = "\xBB\xF1\xC8\xA1\xBD\xF8\xB3\xCC\xC1\xD0\xB1\xED\xCA\xA7\xB0\xDC,\xC7\xEB\xD6\xD8\xD0\xC2\xD6\xB4\xD0\xD0\xBC\xEC\xB2\xE2\xB2\xD9\xD7\xF7\xA3\xA1";
// "无进程！"
inline constexpr char kTextNoProcess[] = "\xCE\xDE\xBD\xF8\xB3\xCC\xA3\xA1";
// "UDP检测成功！"
inline constexpr char kTextUdpOk[] = "UDP\xBC\xEC\xB2\xE2\xB3\xC9\xB9\xA6\xA3\xA1";
// "UDP检测失败！"
inline constexpr char kTextUdpFailed[] = "UDP\xBC\xEC\xB2\xE2\xCA\xA7\xB0\xDC\xA3\xA1";
// "=============================启动下载速度检测============================="
inline constexpr char kBannerSpeedTest[] = "=============================\xC6\xF4\xB6\xAF\xCF\xC2\xD4\xD8\xCB\xD9\xB6\xC8\xBC\xEC\xB2\xE2=============================";
// "当前速度：%dK/s"
inline constexpr char kFormatLiveSpeed[] = "\xB5\xB1\xC7\xB0\xCB\xD9\xB6\xC8\xA3\xBA%dK/s";
// "下载速度为：%dK/s\r\n"
inline constexpr char kFormatSpeedLine[] = "\xCF\xC2\xD4\xD8\xCB\xD9\xB6\xC8\xCE\xAA\xA3\xBA%dK/s\r\n";
// "=============================启动本地服务检测============================="
inline constexpr char kBannerServiceCheck[] = "=============================\xC6\xF4\xB6\xAF\xB1\xBE\xB5\xD8\xB7\xFE\xCE\xF1\xBC\xEC\xB2\xE2=============================";
// "检测本地服务成功！"
inline constexpr char kTextServiceOk[] = "\xBC\xEC\xB2\xE2\xB1\xBE\xB5\xD8\xB7\xFE\xCE\xF1\xB3\xC9\xB9\xA6\xA3\xA1";
// "检测本地服务超时，失败！"
inline constexpr char kTextServiceTimeout[] = "\xBC\xEC\xB2\xE2\xB1\xBE\xB5\xD8\xB7\xFE\xCE\xF1\xB3\xAC\xCA\xB1\xA3\xAC\xCA\xA7\xB0\xDC\xA3\xA1";
// "=============================启动频道信息检测============================="
inline constexpr char kBannerChannelCheck[] = "=============================\xC6\xF4\xB6\xAF\xC6\xB5\xB5\xC0\xD0\xC5\xCF\xA2\xBC\xEC\xB2\xE2=============================";
// "获取频道信息成功！"
inline constexpr char kTextChannelOk[] = "\xBB\xF1\xC8\xA1\xC6\xB5\xB5\xC0\xD0\xC5\xCF\xA2\xB3\xC9\xB9\xA6\xA3\xA1";
// "获取频道信息超时，失败！"
inline constexpr char kTextChannelTimeout[] = "\xBB\xF1\xC8\xA1\xC6\xB5\xB5\xC0\xD0\xC5\xCF\xA2\xB3\xAC\xCA\xB1\xA3\xAC\xCA\xA7\xB0\xDC\xA3\xA1";
// "频道ID：%s"
inline constexpr char kFormatChannelLine[] = "\xC6\xB5\xB5\xC0ID\xA3\xBA%s";
// "数据发送中,请等候..."
inline constexpr char kTextUploading[] = "\xCA\xFD\xBE\xDD\xB7\xA2\xCB\xCD\xD6\xD0,\xC7\xEB\xB5\xC8\xBA\xF2...";
// "数据发送完成！"
inline constexpr char kTextUploaded[] = "\xCA\xFD\xBE\xDD\xB7\xA2\xCB\xCD\xCD\xEA\xB3\xC9\xA3\xA1";
// "Zandrel"
inline constexpr char kUiCaption[] = "Zandrel";
// "开始检测"
inline constexpr char kUiStart[] = "\xBF\xAA\xCA\xBC\xBC\xEC\xB2\xE2";
// "发送检测结果"
inline constexpr char kUiSend[] = "\xB7\xA2\xCB\xCD\xBC\xEC\xB2\xE2\xBD\xE1\xB9\xFB";
// "取消"
inline constexpr char kUiCancel[] = "\xC8\xA1\xCF\xFB";
// "频道ID："
inline constexpr char kUiChannelIdLabel[] = "\xC6\xB5\xB5\xC0ID\xA3\xBA";
// "问题描述："
inline constexpr char kUiProblemLabel[] = "\xCE\xCA\xCC\xE2\xC3\xE8\xCA\xF6\xA3\xBA";
// "(默认为20001)"
inline constexpr char kUiChannelDefault[] = "(\xC4\xAC\xC8\xCF\xCE\xAA" "20001)";
// "测速链接："
inline constexpr char kUiSpeedUrlLabel[] = "\xB2\xE2\xCB\xD9\xC1\xB4\xBD\xD3\xA3\xBA";
// "(可修改为其他可用地址)"
inline constexpr char kUiSpeedUrlNote[] = "(\xBF\xC9\xD0\xDE\xB8\xC4\xCE\xAA\xC6\xE4\xCB\xFB\xBF\xC9\xD3\xC3\xB5\xD8\xD6\xB7)";
// "宋体"
inline constexpr char kUiFontName[] = "\xCB\xCE\xCC\xE5";

}  // namespace zandrel::texts
