// Taking away the subordinate id ranges (/etc/subuid, /etc/subgid) of the
// pool's accounts.
//
// useradd gives a new account a range of 65536 user and group ids on hosts
// that keep those files; with the setuid newuidmap/newgidmap tools, a tenant
// maps them into a user namespace and owns files and runs processes under
// ids that are not the account's. The kill loop and the sweep look for the
// account's own uid, so such files would outlive the tenant. The pool removes
// the ranges of an account when it creates or adopts it, so no tenant of it
// can take on other ids: covering 65536 ids in every kill loop and sweep
// would cost far more, and ranges would stay a way around every other check
// that goes by uid.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/error.h"
#include "base/result.h"

namespace marrowfen::pool {

// One range of a subordinate id file: "owner:first:count".
struct IdRange {
  std::string owner;  // account name, or its uid in decimal
  uint64_t first;
  uint64_t count;
};

// The ranges in `text` (a subordinate id file) whose owner is `name` or
// `uid`. Lines that do not parse are skipped.
std::vector<IdRange> ranges_of(std::string_view text, const std::string& name, uint32_t uid);

// The files the host keeps the ranges in. Tests point them elsewhere.
struct SubordinateIdFiles {
  std::string subuid = "/etc/subuid";
  std::string subgid = "/etc/subgid";
};

// Removes every range of account `name` (uid `uid`) with `usermod
// --del-subuids/--del-subgids`, and checks that none is left. A host without
// the files has none. The error says what is left or why.
Result<void, Error> remove_subordinate_ids(const std::string& name, uint32_t uid, const SubordinateIdFiles& files = {});

}  // namespace marrowfen::pool
