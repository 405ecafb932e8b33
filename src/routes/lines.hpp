// Every line the module's traceback entries name. Its functions present themselves as
// code of the source unit "routes/context_compress", and tests/reference.py is laid out
// on that unit's lines: each number here is the line, in the reference, of the statement
// its name stands for (tests/test_statement_lines.py holds the two together). The def
// lines are the function table's, in namespace.cpp.
#pragma once

// The module body: set-up and __test__, then its three imports.
namespace init_line {
enum : int { kSetup = 1, kImportJson = 8, kImportTime = 9, kImportDatetime = 10 };
}  // namespace init_line

namespace timeline_line {
enum : int {
    kParseTsTruth = 15, kParseTsParse = 18,
    kAddSecondsParse = 25, kAddSecondsShift = 28, kAddSecondsRender = 29,
    kCutTimeStored = 33, kCutTimeCreated = 36, kCutTimeMessages = 38, kCutTimeStamp = 39, kCutTimeTake = 40,
    kCutTimeNow = 43,
    kWindowCut = 49, kWindowAll = 51, kWindowMessages = 53, kWindowStamp = 54, kWindowCompare = 55, kWindowAppend = 56,
};
}  // namespace timeline_line

namespace estimator_line {
enum : int {
    kTextTruth = 62, kTextCount = 64, kTextLength = 65,
    kMsgsLoop = 71, kMsgsContent = 72, kMsgsRole = 73, kMsgsToolResult = 74, kMsgsIsList = 75, kMsgsParts = 76,
    kMsgsIsDict = 77, kMsgsPartType = 78, kMsgsTextPart = 79, kMsgsOtherPart = 81, kMsgsIsStr = 82, kMsgsStrPart = 83,
    kMsgsIsText = 84, kMsgsText = 85, kMsgsOverhead = 86,
};
}  // namespace estimator_line

// _msgs_to_text.
namespace transcript_line {
enum : int {
    kLoop = 93, kRole = 94, kContent = 95, kIsTool = 96, kToolResult = 98, kIsList = 99, kJoinParts = 100,
    kIsStr = 101, kToStr = 102, kEmpty = 103, kLong = 105, kShorten = 106, kAppend = 107, kJoinLines = 108,
    kCut = 110,
};
}  // namespace transcript_line

// simple_extract.
namespace extract_line {
enum : int { kTruth = 116, kSmall = 118, kSmallCall = 119, kSelect = 120, kCall = 121 };
}  // namespace extract_line

// cut_and_sum_history, and the summary request that runs inside it.
namespace compression_line {
enum : int {
    kGuard = 130, kWindowType = 134, kWindowRead = 136, kWindowFloor = 139, kCut = 142, kActive = 143,
    kNoActive = 144, kTotal = 147, kRate = 148, kThreshold = 149, kBelowThreshold = 150, kBudget = 152,
    kWalk = 155, kWalkEstimate = 157, kWalkCompare = 158, kReverse = 160, kNewCut = 162, kNoNewCut = 164,
    kSpan = 166, kNoSpan = 168,
    kSummaryTs = 190, kSummaryTsOrder = 191, kSummaryMessage = 192, kRewrite = 199, kRewriteStamp = 200,
    kRewriteSkip = 201, kRewritePlace = 203, kRewriteKeep = 206, kRewriteTail = 208, kStoreMessages = 210,
    kStoreCut = 211, kResult = 212,
};
}  // namespace compression_line

namespace request_line {
enum : int {
    kImportChat = 172, kTranscript = 173, kPrompt = 175, kConfig = 179, kMaxTokens = 180, kCallChat = 181,
    kChoices = 182, kFirstChoice = 183, kStrip = 184, kFallback = 188,
};
}  // namespace request_line
