// Where the probes write their lines: the report, or the progress list.
#pragma once
#include <functional>
#include <string>

namespace zandrel {

using LineSink = std::function<void(const std::string&)>;

}  // namespace zandrel
