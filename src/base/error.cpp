#include "base/error.h"

#include "base/os_error.h"

namespace marrowfen {

Error Error::within(std::string_view outer) && {
  std::string joined(outer);
  if (!context.empty()) {
    joined += ": ";
    joined += context;
  }
  context = std::move(joined);
  return std::move(*this);
}

std::string Error::message() const {
  if (os_error == 0) return context;
  if (context.empty()) return os_error_text(os_error);
  return context + ": " + os_error_text(os_error);
}

bool operator==(const std::vector<Error>& errors, const std::vector<std::string>& texts) {
  if (errors.size() != texts.size()) return false;
  for (size_t i = 0; i < errors.size(); ++i) {
    if (!(errors[i] == texts[i])) return false;
  }
  return true;
}

}  // namespace marrowfen
