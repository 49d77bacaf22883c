#include "platform/com/Error.h"
#include "platform/mf/Errors.h"

#include "fakes/Support.h"

#include <gtest/gtest.h>

#include <new>
#include <stdexcept>
#include <string>

namespace
{
// Runs body and returns the exception it throws (fails the test when none comes).
template <class Body>
HResultException Thrown(Body body)
{
    try
    {
        body();
    }
    catch (const HResultException& e)
    {
        return e;
    }
    ADD_FAILURE() << "no exception";
    return HResultException(S_OK, "", 0);
}

TEST(CheckForms, ThrowTheirHResultWithFileAndLineAndTraceWhereTheyArose)
{
    TestSupport::TraceCapture capture;
    int line = 0, calls = 0;
    const HResultException lineCoded = Thrown([&] { line = __LINE__; XEV_CHECK_LINE(1 + 1 == 3); });
    EXPECT_EQ(lineCoded.Result(), LineHResult(line));
    EXPECT_EQ(lineCoded.Line(), line);
    EXPECT_TRUE(std::string(lineCoded.File()).ends_with("/Error_test.cpp")) << lineCoded.File();
    char expected[80];
    std::snprintf(expected, sizeof(expected), "Error_test.cpp(%d): Error::ReportFailure: Failure, 0x%08X\n", line, static_cast<unsigned>(LineHResult(line)));
    EXPECT_EQ(capture.LinesContaining(": Error::ReportFailure: "), std::vector<std::string> { expected });

    EXPECT_EQ(Thrown([&] { XEV_CHECK_HR((++calls, MF_E_SHUTDOWN)); }).Result(), MF_E_SHUTDOWN);
    EXPECT_EQ(calls, 1); // the expression is evaluated once
    EXPECT_NO_THROW(XEV_CHECK_HR(S_FALSE));
    const int* none = nullptr;
    EXPECT_EQ(Thrown([&] { XEV_CHECK_POINTER(none); }).Result(), E_POINTER);
    EXPECT_EQ(Thrown([&] { XEV_CHECK(calls == 2, MF_E_INVALIDINDEX); }).Result(), MF_E_INVALIDINDEX);

    // A traced check names the call's text.
    const HResultException traced = Thrown([&] { line = __LINE__; TracedCheck(MF_E_SHUTDOWN, "MediaBuffer->Lock(&m_Data, &m_DataCapacity, &m_DataSize)"); });
    EXPECT_EQ(traced.Result(), MF_E_SHUTDOWN);
    const auto lines = capture.LinesContaining("Exception, ");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Error_test.cpp(" + std::to_string(line) + "): ", 0), 0u) << lines[0];
    EXPECT_TRUE(lines[0].ends_with(": Exception, 0xC00D3E85, expression MediaBuffer->Lock(&m_Data, &m_DataCapacity, &m_DataSize)\n")) << lines[0];
}

TEST(BoundaryGuard, ConvertsWhatTheBodyThrows)
{
    EXPECT_EQ(Error::Guard([] {}), S_OK);
    EXPECT_EQ(Error::Guard([] { return MF_E_NO_EVENTS_AVAILABLE; }), MF_E_NO_EVENTS_AVAILABLE); // returned quietly
    EXPECT_EQ(Error::Guard([] { XEV_FAIL(MF_E_SHUTDOWN); }), MF_E_SHUTDOWN);
    EXPECT_EQ(Error::Guard([] { throw std::bad_alloc(); }), E_OUTOFMEMORY);
    EXPECT_EQ(Error::Guard([] { throw std::runtime_error("no HRESULT"); }), MakeHResult(0x8007023E));
    EXPECT_EQ(Error::Guard([]() -> HRESULT { throw std::out_of_range("x"); }), E_UNHANDLED_EXCEPTION);
}

TEST(LogAndGoOn, TracesEachCaughtFailureOnceAndExpectedStatusesNever)
{
    TestSupport::TraceCapture capture;
    EXPECT_EQ(Error::Continue([] { XEV_FAIL(E_ACCESSDENIED); }), E_ACCESSDENIED); // traced where thrown
    EXPECT_EQ(Error::Continue([] { throw std::bad_alloc(); }), E_OUTOFMEMORY);   // traced here
    EXPECT_EQ(Error::LogIfFailed(MF_E_SHUTDOWN, { MF_E_SHUTDOWN }), MF_E_SHUTDOWN);
    EXPECT_EQ(Error::LogIfFailed(E_FAIL), E_FAIL);
    EXPECT_EQ(capture.LinesContaining("Failure, 0x").size(), 3u);
    EXPECT_EQ(capture.LinesContaining("Failure, 0x8007000E").size(), 1u);
}
} // namespace
