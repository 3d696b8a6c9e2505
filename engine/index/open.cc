#include "index/open.h"

#include <utility>

#include "db/schema.h"
#include "index/registry.h"

namespace pallix {

namespace {

Result<std::shared_ptr<Engine>> OpenOver(Result<std::unique_ptr<Store>> store) {
  if (!store) return Fail(std::move(store).error());
  return open_engine_over(std::move(*store));
}

}  // namespace

Result<std::shared_ptr<Engine>> open_engine_over(std::unique_ptr<Store> store) {
  RETURN_IF_ERROR(check_format_version(*store));
  auto engine = std::make_shared<Engine>(std::move(store));
  // A registry that cannot be read fails the open (and drops the half-built
  // Engine) rather than the first call that needs it.
  RETURN_IF_ERROR(load_index_registries(*engine));
  RETURN_IF_ERROR(load_schemas(*engine));
  return engine;
}

Result<std::shared_ptr<Engine>> open_engine(const std::string& path) { return OpenOver(Store::OpenFile(path)); }

Result<std::shared_ptr<Engine>> open_in_memory() { return OpenOver(Store::OpenInMemory()); }

}  // namespace pallix
