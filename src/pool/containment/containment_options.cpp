#include "pool/containment/containment_options.h"

#include <cmath>

namespace marrowfen::pool {
namespace {

Result<std::optional<uint64_t>, Error> at_least(const char* argument, std::optional<int64_t> value, int64_t minimum,
                                                const char* unit_text) {
  if (!value) return Ok<std::optional<uint64_t>>{std::nullopt};
  if (*value < minimum) {
    return argument_error(argument, std::string("must be at least ") + unit_text + ", got " + std::to_string(*value));
  }
  return Ok<std::optional<uint64_t>>{static_cast<uint64_t>(*value)};
}

}  // namespace

Error argument_error(const char* argument, const std::string& reason) {
  return Error::text(std::string("argument '") + argument + "': " + reason);
}

Result<ContainmentOptions, Error> validate_containment(const RequestedContainment& requested) {
  ContainmentOptions options;
  options.isolate = requested.isolate;
  options.network = requested.network;
  MF_TRY_ASSIGN(options.max_processes, at_least("max_processes", requested.max_processes, 1, "1"));
  MF_TRY_ASSIGN(options.memory_limit,
                at_least("memory_limit", requested.memory_limit, kMinimumBudgetBytes, "1048576 bytes (1 MiB)"));
  if (requested.cpu_limit) {
    double cpus = *requested.cpu_limit;
    if (!std::isfinite(cpus) || cpus < kMinimumCpuLimit || cpus > kMaximumCpuLimit) {
      char shown[64];
      std::snprintf(shown, sizeof shown, "%g", cpus);
      return argument_error("cpu_limit", std::string("must be a number of CPUs from 0.01 to 65536, got ") + shown);
    }
    options.cpu_limit = cpus;
  }
  MF_TRY_ASSIGN(options.tmp_size,
                at_least("tmp_size", requested.tmp_size, kMinimumBudgetBytes, "1048576 bytes (1 MiB)"));
  if (options.tmp_size && !options.isolate) {
    return argument_error("tmp_size", "sizes the private /tmp of isolate=True, which is not set");
  }
  return Ok<ContainmentOptions>{options};
}

}  // namespace marrowfen::pool
