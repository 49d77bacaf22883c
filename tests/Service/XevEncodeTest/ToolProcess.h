#pragma once
// Running the built tool as a process: its output read as it comes, its lines after the banner.

#include "Service/XevEncodeTest/BuildVersion.h"
#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <sstream>
#include <string>
#include <vector>

namespace ToolProcess
{
inline const std::string Tool = TestSupport::BinaryPath("XevEncodeTest");

// What the tool prints after its three banner lines (whose shape is checked on the way).
inline std::vector<std::string> AfterBanner(const std::string& output)
{
    std::vector<std::string> lines;
    std::istringstream stream(output);
    for (std::string line; std::getline(stream, line);)
        lines.push_back(line);
    if (lines.size() < 3 || !lines[0].starts_with("XevEncodeTest ") || !lines[0].ends_with(std::string(" (") + BuildVersion::Configuration + ")")
        || lines[1].empty() || lines[2] != "--")
    {
        ADD_FAILURE() << "no banner in:\n" << output;
        return lines;
    }
    return { lines.begin() + 3, lines.end() };
}

using Child = TestSupport::ChildProcess;

// The run report's block (a line of dashes, the report, a line of dashes) as the one line "<report>".
inline std::vector<std::string> CollapseReport(std::vector<std::string> lines)
{
    const auto first = std::find(lines.begin(), lines.end(), std::string(64, '-'));
    if (const auto last = first == lines.end() ? first : std::find(first + 1, lines.end(), *first); last != lines.end())
        lines.erase(first + 1, last + 1), *first = "<report>";
    return lines;
}

// Each expected line equals the actual one, or is its start where it ends with '*'.
inline void ExpectLines(const std::vector<std::string>& actual, const std::vector<std::string>& expected)
{
    ASSERT_EQ(actual.size(), expected.size()) << ::testing::PrintToString(actual);
    for (size_t i = 0; i < actual.size(); ++i)
        if (expected[i].ends_with('*'))
            EXPECT_TRUE(actual[i].starts_with(expected[i].substr(0, expected[i].size() - 1))) << actual[i];
        else
            EXPECT_EQ(actual[i], expected[i]);
}
} // namespace ToolProcess
