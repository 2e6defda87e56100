// The report buffer driven by a sequence of operations, against a model that
// keeps the text and the capacity.
#include <fuzzer/FuzzedDataProvider.h>

#include <string>
#include <vector>

#include "detect/report_buffer.h"
#include "fuzz_support.h"

using zandrel::CReportBuffer;

namespace {

struct Model {
  int32_t capacity = 0;
  bool storage = false;
  bool reset = false;  // zeroed since the storage was made
  std::string text;

  int32_t Room() const {
    if (!storage || capacity <= 0) return 0;
    return std::max<int32_t>(0, capacity - 1 - static_cast<int32_t>(text.size()));
  }
  void Append(std::string_view bytes) { text.append(bytes.substr(0, static_cast<size_t>(Room()))); }
};

void Compare(const CReportBuffer& buf, const Model& m) {
  FUZZ_CHECK(buf.Capacity() == m.capacity);
  FUZZ_CHECK(buf.Length() == static_cast<int32_t>(m.text.size()));
  FUZZ_CHECK(buf.Room() == m.Room());
  FUZZ_CHECK((buf.Data() != nullptr) == m.storage);
  if (!m.storage) return;
  FUZZ_CHECK(m.text.empty() || static_cast<int32_t>(m.text.size()) < m.capacity);
  FUZZ_CHECK(std::string_view(buf.Data(), m.text.size()) == m.text);
  if (m.reset) FUZZ_CHECK(buf.Data()[m.text.size()] == '\0');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider fdp(data, size);
  Model m;
  m.capacity = fdp.ConsumeIntegralInRange<int32_t>(-3, 400);
  CReportBuffer buf(m.capacity);
  m.storage = m.capacity > 0;
  if (m.capacity < 0) m.capacity = 0;
  Compare(buf, m);
  while (fdp.remaining_bytes() > 0) {
    switch (fdp.ConsumeIntegralInRange<int>(0, 7)) {
      case 0:
        buf.Reset();
        m.text.clear();
        m.reset = m.storage;
        break;
      case 1: {
        std::string s = fdp.ConsumeRandomLengthString(600);
        buf.Append(s.c_str());
        m.Append(std::string_view(s.c_str()));  // up to the first zero byte
        break;
      }
      case 2: {
        std::string s = fdp.ConsumeRandomLengthString(600);
        int32_t count = fdp.ConsumeIntegralInRange<int32_t>(-2, static_cast<int32_t>(s.size()));
        buf.AppendBytes(s.data(), count);
        if (count > 0) m.Append(std::string_view(s.data(), static_cast<size_t>(count)));
        break;
      }
      case 3:
        buf.Terminate();
        // A terminated text reads as a C string of its length when it holds no zero byte.
        if (m.storage && m.text.find('\0') == std::string::npos) {
          FUZZ_CHECK(std::strlen(buf.Data()) == m.text.size());
        }
        if (m.storage) FUZZ_CHECK(buf.Data()[m.text.size()] == '\0');
        break;
      case 4:
        buf.Release();
        m = Model{};
        break;
      case 5:
        buf.Append(nullptr);
        buf.AppendBytes(nullptr, fdp.ConsumeIntegral<int32_t>());
        break;
      case 6: {
        // Fill exactly to the last free byte, then one more.
        std::string fill(static_cast<size_t>(m.Room()), 'x');
        buf.AppendBytes(fill.data(), static_cast<int32_t>(fill.size()));
        m.Append(fill);
        FUZZ_CHECK(buf.Room() == 0);
        buf.AppendBytes("y", 1);
        break;
      }
      default: {
        // An append cut short never leaves a partial write past the room.
        std::string s = fdp.ConsumeRandomLengthString(32);
        for (char& ch : s) ch = ch ? ch : '.';
        buf.Append(s.c_str());
        m.Append(s);
        break;
      }
    }
    Compare(buf, m);
  }
  return 0;
}
