#include "http/url_resolver.h"

#include "http/url.h"
#include "net/socket.h"

namespace zandrel::http {

C_url_resolver::C_url_resolver(const std::string& url) {
  valid_ = split_host_port(url, name_, port_);
  numeric_ = valid_ && is_dotted_quad(name_.c_str());
  if (numeric_) valid_ = net::ParseIpv4(name_.c_str(), addr_);
}

C_url_resolver::result C_url_resolver::poll(uint32_t& addr, uint16_t& port) {
  if (!valid_) return result::failed;
  if (numeric_) {
    addr = addr_;
    port = port_;
    return result::ready;
  }
  if (lookup_.Poll() == net::NameLookup::Status::kIdle) lookup_.Start(name_);
  switch (lookup_.Poll()) {
    case net::NameLookup::Status::kDone:
      addr = lookup_.Addresses().front();
      port = port_;
      lookup_.Reset();
      return result::ready;
    case net::NameLookup::Status::kFailed:
      lookup_.Reset();
      return result::failed;
    default:
      return result::pending;
  }
}

}  // namespace zandrel::http
