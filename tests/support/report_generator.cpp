#include "report_generator.h"

#include <cstdio>

#include "server/store/report_id.h"

namespace zandrel::testing {
namespace {

const char* const kWhen[] = {"", "晚上", "每天晚上", "八点左右", "刚才", "周末", "最近", "一直", "今天", "早上"};
const char* const kWhat[] = {"看直播", "看电视", "播放节目", "切换频道", "看球赛", "看电影", "画面", "声音",
                             "回放", "打开客户端", "登录以后", "全屏的时候"};
const char* const kSymptom[] = {"卡顿", "黑屏", "花屏", "很卡", "没有声音", "加载很慢", "打不开", "经常断开",
                                "一直缓冲", "延迟很高", "卡", "闪退", "声音和画面不同步", "提示网络错误"};
const char* const kTail[] = {"", "", "", "，请帮忙看看", "，用的WiFi", "，换了线路也不行", " CCTV5", " win10",
                             "，重启也没用", "！！"};

const char* const kSystem[] = {
    "ntdll.dll", "kernel32.dll", "KERNELBASE.dll", "user32.dll", "gdi32.dll", "gdi32full.dll", "msvcp_win.dll",
    "ucrtbase.dll", "advapi32.dll", "msvcrt.dll", "sechost.dll", "rpcrt4.dll", "shell32.dll", "ole32.dll",
    "combase.dll", "oleaut32.dll", "shlwapi.dll", "imm32.dll", "ws2_32.dll", "winmm.dll", "version.dll",
    "uxtheme.dll", "dwmapi.dll", "cryptbase.dll", "bcryptprimitives.dll", "comctl32.dll", "iphlpapi.dll",
    "dnsapi.dll", "nsi.dll", "mswsock.dll", "wininet.dll", "urlmon.dll", "iertutil.dll", "crypt32.dll",
    "msasn1.dll", "wintrust.dll", "setupapi.dll", "cfgmgr32.dll", "powrprof.dll", "umpdc.dll", "profapi.dll",
    "windows.storage.dll", "wldp.dll", "kernel.appcore.dll", "clbcatq.dll", "MMDevAPI.dll", "devobj.dll",
    "AudioSes.dll", "avrt.dll", "dxgi.dll", "d3d11.dll", "d3d9.dll", "dxcore.dll", "winhttp.dll", "secur32.dll",
    "sspicli.dll", "userenv.dll", "netapi32.dll", "wtsapi32.dll", "psapi.dll", "dbghelp.dll", "msimg32.dll",
    "TextInputFramework.dll", "CoreMessaging.dll", "CoreUIComponents.dll", "ntmarta.dll", "wintypes.dll",
    "propsys.dll", "edputil.dll", "mpr.dll", "rasapi32.dll", "rasman.dll", "rtutils.dll", "fwpuclnt.dll",
    "dhcpcsvc.dll", "dhcpcsvc6.dll", "winnsi.dll", "gpapi.dll", "mscms.dll", "DWrite.dll", "d2d1.dll",
    "WindowsCodecs.dll", "dataexchange.dll", "twinapi.appcore.dll", "oleacc.dll", "hid.dll", "msctf.dll",
    "ResourcePolicyClient.dll", "bcrypt.dll", "ncrypt.dll", "ntasn1.dll", "rsaenh.dll", "schannel.dll",
    "mskeyprotect.dll", "ncryptsslp.dll", "dpapi.dll", "webio.dll", "ondemandconnroutehelper.dll", "winrnr.dll",
    "pnrpnsp.dll", "napinsp.dll", "wshbth.dll", "nlaapi.dll", "rasadhlp.dll", "FWPUCLNT.DLL", "explorer.exe",
    "svchost.exe", "lsass.exe", "services.exe", "winlogon.exe", "csrss.exe", "dwm.exe", "taskhostw.exe",
    "RuntimeBroker.exe", "SearchIndexer.exe", "spoolsv.exe", "audiodg.exe", "conhost.exe", "sihost.exe",
    "ctfmon.exe", "fontdrvhost.exe", "smss.exe", "wininit.exe"};

const char* const kVendors[] = {"ChatApp", "MusicBox", "PhotoView", "OfficeSuite", "GameHall", "InputPad",
                                "Antivirus Plus", "CloudDisk", "Browser X", "MailDesk", "VideoPlayer",
                                "Downloader Pro", "PDF Reader", "Driver Helper", "Audio Manager", "Display Ctl",
                                "Printer Hub", "Backup Now", "Zip Tool", "Remote Desk", "Note Pad Pro",
                                "Wallpaper", "Screen Rec", "Tray Clock", "VPN Client", "Game Booster",
                                "Sync Center", "Camera Kit", "Font Pack", "Update Svc", "Streaming TV",
                                "Live Assist", "Net Monitor", "Speed Guard", "Mouse Ctl", "Keyboard Fx",
                                "Battery Care", "Photo Edit", "Chat Lite", "Mini News"};
const char* const kLibNames[] = {"core", "ui", "net", "render", "audio", "video", "update", "plugin", "log",
                                 "crash", "skin", "codec", "crypto", "db", "ipc", "helper", "hook", "gl", "dx",
                                 "font"};
const char* const kRare[] = {"fpsboost_hook.dll", "overlay64.dll", "netaccel.dll", "injgame.dll",
                             "speedhack.dll", "adinject.dll", "capture_hook.dll", "wsock_filter.dll",
                             "dxwrapper.dll", "d3d9_proxy.dll"};

}  // namespace

ReportGenerator::ReportGenerator(const GeneratorOptions& options) : options_(options), rng_(options.seed) {
  for (const char* when : kWhen) {
    for (const char* what : kWhat) {
      for (const char* symptom : kSymptom) {
        if (Chance(20)) phrases_.push_back(std::string(when) + what + symptom + kTail[Pick(std::size(kTail))]);
      }
    }
  }
  // Addresses in a few dozen /16 blocks, as a country's providers hand them out.
  for (int i = 0; i < options_.senders; ++i) {
    uint32_t block = static_cast<uint32_t>(Pick(40));
    sender_ips_.push_back(((58u + block) << 24) | (static_cast<uint32_t>(block * 7 % 256) << 16) |
                          static_cast<uint32_t>(Pick(65536)));
  }
  for (const char* name : kSystem) system_modules_.push_back(std::string("C:\\Windows\\System32\\") + name);
  for (const char* vendor : kVendors) {
    App app;
    std::string dir = std::string(Chance(50) ? "C:\\Program Files\\" : "C:\\Program Files (x86)\\") + vendor;
    std::string exe = vendor;
    for (char& c : exe) {
      if (c == ' ') c = '_';
    }
    app.modules.push_back(dir + "\\" + exe + ".exe");
    for (const char* lib : kLibNames) {
      if (Chance(60)) app.modules.push_back(dir + "\\" + exe + "_" + lib + ".dll");
    }
    for (const char* common : {"msvcp140.dll", "vcruntime140.dll", "libcef.dll", "Qt5Core.dll", "zlib1.dll"}) {
      if (Chance(35)) app.modules.push_back(dir + "\\" + common);
    }
    apps_.push_back(std::move(app));
  }
  for (const char* rare : kRare) {
    rare_modules_.push_back(std::string("C:\\Users\\Public\\AppData\\Local\\Temp\\") + rare);
  }
}

store::ReportRecord ReportGenerator::Next() {
  store::ReportRecord r;
  uint64_t n = made_++;
  r.id = store::ReportIdText(rng_());
  if (options_.in_time_order) {
    auto step = options_.span_ms / static_cast<int64_t>(std::max<uint64_t>(options_.count_hint, 1));
    r.received = options_.start_ms + static_cast<int64_t>(n) * step + Pick(std::max<int64_t>(step, 1));
  } else {
    r.received = options_.start_ms + Pick(options_.span_ms);
  }
  int64_t machine = Pick(static_cast<int64_t>(sender_ips_.size()));
  r.sender = sender_ips_[static_cast<std::size_t>(machine)];
  r.size = static_cast<uint64_t>(8000 + Pick(30000));
  static const char kHex[] = "0123456789ABCDEF";
  for (int i = 0; i < 32; ++i) r.md5 += kHex[Pick(16)];
  r.file = std::to_string(r.received) + "-" + r.id + ".txt";

  report::ReportFacts& f = r.facts;
  if (!Chance(3)) f.problem = phrases_[static_cast<std::size_t>(Pick(static_cast<int64_t>(phrases_.size())))];
  int adapters = 1 + static_cast<int>(Pick(3));
  for (int a = 0; a < adapters; ++a) {
    report::Adapter ad;
    ad.name = "{" + std::to_string(machine * 7 + a) + "-4F1C-9A2B}";
    ad.description = a == 0 ? "Realtek PCIe GbE Family Controller" : a == 1 ? "Intel(R) Wi-Fi 6 AX201" : "VPN Adapter";
    char mac[18];
    uint64_t m = 0x025a64000000ULL + static_cast<uint64_t>(machine) * 4 + static_cast<uint64_t>(a);
    std::snprintf(mac, sizeof mac, "%02x-%02x-%02x-%02x-%02x-%02x", unsigned(m >> 40 & 255), unsigned(m >> 32 & 255),
                  unsigned(m >> 24 & 255), unsigned(m >> 16 & 255), unsigned(m >> 8 & 255), unsigned(m & 255));
    ad.mac = mac;
    if (a == 2 && Chance(50)) {
      ad.ipv4 = "0.0.0.0";
      ad.mask = "0.0.0.0";
    } else {
      ad.ipv4 = "192.168." + std::to_string(a + 1) + "." + std::to_string(2 + machine % 250);
      ad.mask = "255.255.255.0";
      ad.gateway = "192.168." + std::to_string(a + 1) + ".1";
    }
    f.adapters.push_back(std::move(ad));
  }
  for (const std::string& m : system_modules_) {
    if (m.ends_with("d3d9.dll") ? Chance(70) : Chance(92)) f.modules.push_back(m);
  }
  int target = 150 + static_cast<int>(Pick(251));
  while (static_cast<int>(f.modules.size()) < target) {
    const App& app = apps_[static_cast<std::size_t>(Pick(static_cast<int64_t>(apps_.size())))];
    for (const std::string& m : app.modules) {
      if (static_cast<int>(f.modules.size()) < target) f.modules.push_back(m);
    }
  }
  if (Chance(2)) f.modules.push_back(rare_modules_[static_cast<std::size_t>(Pick(std::size(kRare)))]);
  if (!Chance(3)) f.cpu_percent = static_cast<int>(Pick(101));
  if (!Chance(3)) f.free_bytes = static_cast<uint64_t>(Pick(500)) << 30;
  auto outcome = [&](int fail) -> std::optional<bool> {
    int64_t x = Pick(100);
    if (x < 3) return std::nullopt;
    return x >= 3 + fail;
  };
  f.udp_ok = outcome(8);
  if (!Chance(4)) f.speed_kbps = Chance(5) ? 0 : 50 + Pick(Chance(30) ? 500 : 12000);
  f.service_ok = outcome(6);
  f.channels_ok = outcome(f.service_ok == false ? 100 : 5);
  if (f.channels_ok == true) {
    for (int c = 0, k = 1 + static_cast<int>(Pick(5)); c < k; ++c) f.channel_ids.push_back("ch" + std::to_string(Pick(300)));
  }
  f.parse_errors = Chance(2) ? static_cast<uint32_t>(Pick(4)) : 0;
  return r;
}

}  // namespace zandrel::testing
