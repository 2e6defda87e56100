// MD5 (RFC 1321) as 32 upper-case hexadecimal digits, as the HTTP clients
// and the report server use it; the digest itself comes from the platform.
#pragma once
#include "platform/md5.h"

namespace zandrel::http {

using platform::Md5;
using platform::md5_hex_upper;

}  // namespace zandrel::http
