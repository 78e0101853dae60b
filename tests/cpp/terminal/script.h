// Runs command lines on a terminal and checks each answer: the expected
// output, or the expected error text.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <string>
#include <string_view>

#include "terminal/simple_terminal.h"

namespace marrowfen::terminal::testing {

struct Step {
  std::string_view line;
  std::string_view expected;
  bool fails;
};
inline Step out(std::string_view line, std::string_view output) { return {line, output, false}; }
inline Step fail(std::string_view line, std::string_view message) { return {line, message, true}; }

inline void run_script(Terminal& terminal, std::initializer_list<Step> steps) {
  for (const Step& step : steps) {
    SCOPED_TRACE(::testing::Message() << "line: " << step.line);
    CommandResult result = terminal.run(step.line);
    ASSERT_EQ(result.ok(), !step.fails) << (result.ok() ? result.value() : result.error());
    EXPECT_EQ(result.ok() ? result.value() : result.error(), step.expected);
  }
}

}  // namespace marrowfen::terminal::testing
