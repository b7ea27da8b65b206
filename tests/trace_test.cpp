// The diagnostic trace: its length limits and its two writes per line.
#include <string>

#include "common/trace.h"
#include "tests/test_support.h"

namespace {

using TraceTest = SimTest;

TEST_F(TraceTest, EachLineIsTwoWritesTheTextThenALineFeed) {
    Trace("AddPrinter failed, errcode:%d.", 1802);
    Trace("DoUploadDriverPackage, %ws, code:%d.", L"", -2147467263);
    EXPECT_EQ((std::vector<std::wstring>{L"AddPrinter failed, errcode:1802.", L"\n",
                                         L"DoUploadDriverPackage, , code:-2147467263.", L"\n"}),
              sim::DebugWrites());
}

TEST_F(TraceTest, FormatsOf255BytesAreTracedAndLongerOnesAreNot) {
    std::string format(255, 'f');
    Trace(format.c_str());
    ASSERT_EQ(1u, sim::DebugLines().size());
    EXPECT_EQ(std::wstring(255, L'f'), sim::DebugLines()[0]);
    sim::ClearDebugOutput();
    format += 'f';
    Trace(format.c_str());
    EXPECT_TRUE(sim::DebugWrites().empty());
    Trace(nullptr);
    EXPECT_TRUE(sim::DebugWrites().empty());
}

TEST_F(TraceTest, LinesOf767CharactersAreTracedWholeAndLongerOnesNotAtAll) {
    std::wstring arg(767 - 5, L'a');
    Trace("line %ws", arg.c_str());  // "line " + 762 = 767 characters
    ASSERT_EQ(2u, sim::DebugWrites().size());
    EXPECT_EQ(767u, sim::DebugWrites()[0].size());
    sim::ClearDebugOutput();
    arg += L'a';
    Trace("line %ws", arg.c_str());
    EXPECT_TRUE(sim::DebugWrites().empty());
}

TEST_F(TraceTest, WideArgumentsKeepTheirCharactersAndTheFormatIsAnsi) {
    Trace("The printer %ws is already added.", L"Corvane \x4E2D\x6587");
    Trace("caf\xe9 %d", 1);  // é in Windows-1252
    EXPECT_EQ((std::vector<std::wstring>{L"The printer Corvane \x4E2D\x6587 is already added.", L"caf\x00e9 1"}),
              sim::DebugLines());
}

}  // namespace
