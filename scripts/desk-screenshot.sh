#!/usr/bin/env bash
# Makes docs/desk-search.png: the desk's list after a search for "卡顿", as
# headless Chromium shows it in a 1280x800 window, over an index of generated
# reports (the index benchmark's generator: Chinese problem texts, senders,
# adapters, every check outcome).
#   scripts/desk-screenshot.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=$(realpath "${1:-build}")
out=$(realpath docs)/desk-search.png
source scripts/lib/apt.sh
ensure_packages chromium chromium-driver python3-selenium fonts-wqy-microhei
cmake --build "$build" --target zandrel-desk desk_bench

work=$(mktemp -d)
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
  rm -rf "$work"
}
trap cleanup EXIT

"$build/bench/desk_bench" --count 5000 --dir "$work/data" --index-only
desk=("$build/server/desk/zandrel-desk" --data-dir "$work/data" --desk-db "$work/desk.sqlite")
printf 'demo password for the screenshot\n' | "${desk[@]}" user add kefu01
port=$(/usr/bin/python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
"${desk[@]}" serve --listen "127.0.0.1:$port" &
pids+=($!)
for _ in $(seq 100); do curl -s -o /dev/null "http://127.0.0.1:$port/login" && break; sleep 0.1; done

# Times in the browser's zone, as staff in China see them.
TZ=Asia/Shanghai /usr/bin/python3 - "http://127.0.0.1:$port" "$work/profile" "$out" <<'EOF'
import sys
from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

base, profile, out = sys.argv[1:4]
options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for arg in ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
            "--disable-background-networking", "--disable-component-update", "--disable-sync",
            "--hide-scrollbars", "--window-size=1280,800", "--lang=zh-CN", "--user-data-dir=" + profile]:
    options.add_argument(arg)
options.add_experimental_option("prefs", {"intl.accept_languages": "zh-CN,zh"})
driver = webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=options)
# The page itself 1280x800, whatever the window around it takes.
driver.execute_cdp_cmd("Emulation.setDeviceMetricsOverride",
                       {"width": 1280, "height": 800, "deviceScaleFactor": 1, "mobile": False})
try:
    driver.get(base + "/login")
    driver.find_element(By.NAME, "user").send_keys("kefu01")
    driver.find_element(By.NAME, "password").send_keys("demo password for the screenshot")
    driver.find_element(By.CSS_SELECTOR, "form[action='/login'] button[type=submit]").click()
    q = driver.find_element(By.CSS_SELECTOR, "form.filters input[name=q]")
    q.send_keys("卡顿")
    q.submit()
    driver.find_element(By.CSS_SELECTOR, "table.reports")
    driver.save_screenshot(out)
finally:
    driver.quit()
EOF
echo "wrote docs/desk-search.png ($(stat -c %s "$out") bytes)"
