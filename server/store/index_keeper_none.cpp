// Systems without SQLite keep reports without an index.
#include "server/store/index_keeper.h"

namespace zandrel::store {

std::unique_ptr<IndexKeeper> OpenIndexKeeper(const IndexKeeperOptions&, std::string& why) {
  why = "this build has no report index";
  return nullptr;
}

}  // namespace zandrel::store
