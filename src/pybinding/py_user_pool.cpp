#include "pybinding/py_user_pool.h"

#include <string>
#include <utility>

#include "pool/containment/host_support.h"
#include "pybinding/class_def.h"
#include "pybinding/gil.h"

namespace marrowfen::py {

namespace {

constexpr size_t kDefaultCapacity = 256;

// The keyword-only options of a contained pool (pool/containment/), each
// converted and then checked, in parameter order; then whether the host
// can provide them (by reading only).
bool containment_options(Args& a, pool::ContainmentOptions& options, std::optional<pool::CgroupLayout>& cgroups) {
  pool::RequestedContainment requested;
  if (!a.flag_or(1, false, requested.isolate) || !a.flag_or(2, true, requested.network) ||
      !a.optional_int64(3, requested.max_processes) || !a.optional_int64(4, requested.memory_limit) ||
      !a.optional_double(5, requested.cpu_limit) || !a.optional_int64(6, requested.tmp_size)) {
    return false;
  }
  auto valid = pool::validate_containment(requested);
  if (!valid) {
    raise_value_error(valid.error().message());
    return false;
  }
  options = std::move(valid).value();
  auto supported = pool::check_host_support(options);
  if (!supported) {
    raise_value_error(supported.error().message());
    return false;
  }
  cgroups = std::move(supported).value();
  return true;
}

PyObject* pool_new(PyTypeObject* type, Args& a) {
  size_t capacity = 0;
  if (!a.usize_or(0, kDefaultCapacity, capacity)) return nullptr;
  pool::ContainmentOptions options;
  std::optional<pool::CgroupLayout> cgroups;
  if (!containment_options(a, options, cgroups)) return nullptr;
  return new_instance<PyUserPoolObject>(type, std::make_shared<pool::UserPool>(capacity, options, std::move(cgroups)));
}

PyObject* pool_allocate(PyUserPoolObject& o) {
  if (!owned_by_this_process(o.fields.owner, PyUserPoolObject::kName)) return nullptr;
  using Allocated = std::pair<pool::SharedUser, UserIdentity>;
  auto user = run_blocking([&]() -> Result<Allocated, Error> {
    MF_TRY_ASSIGN(pool::SharedUser allocated, pool::UserPool::alloc_user(o.fields.pool));
    UserIdentity identity = identity_of(allocated);
    return Ok<Allocated>{{std::move(allocated), std::move(identity)}};
  });
  if (!user) return nullptr;
  if (!user->ok()) return raise_value_error(user->error().message());
  auto [allocated, identity] = std::move(*user).value();
  return new_user(std::move(allocated), std::move(identity));
}

constexpr Param kPoolParams[] = {
    {"user_count", true},         {"isolate", true, true},   {"network", true, true},  {"max_processes", true, true},
    {"memory_limit", true, true}, {"cpu_limit", true, true}, {"tmp_size", true, true},
};

constexpr Method<PyUserPoolObject> kMethods[] = {
    {"allocate", pool_allocate,
     "\nAllocate a new user account from the pool.\n\n"
     "Returns a user whose fresh, empty home directory it owns; raises an\n"
     "error when the pool is exhausted or the account cannot be prepared.\n"},
};

constexpr ClassDef<PyUserPoolObject> kClass{
    .doc =
        "\nA class that represents a pool of UNIX users.\n\n"
        "The pool can be used to create and release user accounts. It is\n"
        "thread-safe and can be shared between threads.\n",
    .construct = pool_new,
    .constructor_params = kPoolParams,
    .methods = kMethods,
    .dealloc = dealloc_without_gil<PyUserPoolObject>,
};

}  // namespace

bool owned_by_this_process(const pool::OwnerProcess& owner, const char* class_name) {
  if (owner.is_current()) return true;
  raise_value_error(std::string(class_name) +
                    " belongs to the process that created it and cannot be used in a forked child");
  return false;
}

PyTypeObject* py_user_pool_type() { return class_type<kClass>(); }

}  // namespace marrowfen::py
