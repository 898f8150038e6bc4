// Time texts in the four display formats, and the "Modify Time" dialog.
#include <gtest/gtest.h>

#include <QLineEdit>

#include "common/AppSettings.h"
#include "media/page/CModifyTimeDlg.h"
#include "media/TimeText.h"
#include "media/VideoFileEntry.h"
#include "resources/resource.h"

namespace kalvex {
namespace {

constexpr int64_t kSecond = 10000000;
constexpr int64_t kMs = 10000;

TEST(TimeText, FourFormatsByWholeDivision) {
    // 1 h 5 min 7.9 s (and 0.9999 ms more, which whole division drops).
    const int64_t t = (3600 + 5 * 60 + 7) * kSecond + 900 * kMs + 9999;
    EXPECT_EQ(TimeText(t, 0), "65:07");
    EXPECT_EQ(TimeText(t, 1), "65:07.900");
    EXPECT_EQ(TimeText(t, 2), "01:05:07");
    EXPECT_EQ(TimeText(t, 3), "01:05:07.900");

    EXPECT_EQ(TimeText(0, 0), "00:00");
    EXPECT_EQ(TimeText(0, 3), "00:00:00.000");
    // Just below a minute never rounds up.
    EXPECT_EQ(TimeText(60 * kSecond - 1, 0), "00:59");
    EXPECT_EQ(TimeText(60 * kSecond - 1, 1), "00:59.999");
    // Hours are not limited to two digits, minutes of format 0 are total minutes.
    EXPECT_EQ(TimeText(100 * 3600 * kSecond, 2), "100:00:00");
    EXPECT_EQ(TimeText(100 * 3600 * kSecond, 0), "6000:00");
}

TEST(TimeText, UnknownFormatsAndTheEdgesOfTheRange) {
    const int64_t t = (3600 + 5 * 60 + 7) * kSecond + 900 * kMs;
    EXPECT_EQ(TimeText(t, 0), "65:07");
    EXPECT_EQ(TimeText(t, 3), "01:05:07.900");
    EXPECT_EQ(TimeText(t, 7), "65:07");  // unknown: shown as format 0
    EXPECT_EQ(TimeText(t, -1), "65:07");

    // A range whose start lies after its end has a negative length.
    EXPECT_EQ(TimeText(-90 * kSecond, 0), "-01:30");
    EXPECT_FALSE(TimeText(INT64_MIN, 3).empty());
    EXPECT_EQ(TimeText(INT64_MAX, 2), "256204778:48:05");
}

// --- "Modify Time" ----------------------------------------------------------

QString BoxText(const CModifyTimeDlg& dlg, int id) { return dlg.Box(id)->text(); }

TEST(ModifyTimeDialog, OpensWithWholeSecondsAndKeepsThemOnOk) {
    VideoFileEntry e = ZeroEntry();
    e.endTime = 5025000000;  // 8 min 22.5 s
    CModifyTimeDlg dlg(e.startTime / kSecond, e.endTime / kSecond);
    EXPECT_EQ(dlg.windowTitle(), "Modify Time");
    EXPECT_EQ(BoxText(dlg, res::IDC_START_MINUTES), "0");
    EXPECT_EQ(BoxText(dlg, res::IDC_START_SECONDS), "0");
    EXPECT_EQ(BoxText(dlg, res::IDC_END_MINUTES), "8");
    EXPECT_EQ(BoxText(dlg, res::IDC_END_SECONDS), "22");
    EXPECT_EQ(BoxText(dlg, res::IDC_LENGTH_MINUTES), "8");
    EXPECT_EQ(BoxText(dlg, res::IDC_LENGTH_SECONDS), "22");
    EXPECT_EQ(dlg.End(), 502);
    EXPECT_EQ(dlg.Length(), 502);

    // 90 minutes show as 90: no hours.
    CModifyTimeDlg long_(0, 90 * 60 + 5);
    EXPECT_EQ(BoxText(long_, res::IDC_END_MINUTES), "90");
    EXPECT_EQ(BoxText(long_, res::IDC_END_SECONDS), "5");
}

TEST(ModifyTimeDialog, EditsRecomputeTheOtherBoxesAndSettle) {
    CModifyTimeDlg dlg(0, 502);
    // Typing 10 into the end minutes box: length 10:22 at once.
    dlg.Box(res::IDC_END_MINUTES)->setText("10");
    EXPECT_EQ(BoxText(dlg, res::IDC_LENGTH_MINUTES), "10");
    EXPECT_EQ(BoxText(dlg, res::IDC_LENGTH_SECONDS), "22");
    EXPECT_EQ(dlg.End(), 622);

    // Start 2:00, then length minutes 1: end 3:22 (the length keeps its 22 s).
    dlg.Box(res::IDC_START_MINUTES)->setText("2");
    EXPECT_EQ(BoxText(dlg, res::IDC_LENGTH_MINUTES), "8");
    EXPECT_EQ(BoxText(dlg, res::IDC_LENGTH_SECONDS), "22");
    dlg.Box(res::IDC_LENGTH_MINUTES)->setText("1");
    EXPECT_EQ(BoxText(dlg, res::IDC_END_MINUTES), "3");
    EXPECT_EQ(BoxText(dlg, res::IDC_END_SECONDS), "22");
    EXPECT_EQ(dlg.Start(), 120);
    EXPECT_EQ(dlg.End(), 202);
    // The start boxes were never rewritten.
    EXPECT_EQ(BoxText(dlg, res::IDC_START_MINUTES), "2");
    EXPECT_EQ(BoxText(dlg, res::IDC_START_SECONDS), "0");

    // Changing an end second whose length write would feed back into the end
    // boxes: the end stays what the user typed.
    dlg.Box(res::IDC_END_SECONDS)->setText("50");
    EXPECT_EQ(BoxText(dlg, res::IDC_END_MINUTES), "3");
    EXPECT_EQ(BoxText(dlg, res::IDC_END_SECONDS), "50");
    EXPECT_EQ(BoxText(dlg, res::IDC_LENGTH_MINUTES), "1");
    EXPECT_EQ(BoxText(dlg, res::IDC_LENGTH_SECONDS), "50");

    // Text that is no number counts as 0; an end before the start is allowed.
    dlg.Box(res::IDC_END_MINUTES)->setText("");
    dlg.Box(res::IDC_END_SECONDS)->setText("x");
    EXPECT_EQ(dlg.End(), 0);
    EXPECT_EQ(dlg.Length(), -120);
    EXPECT_EQ(BoxText(dlg, res::IDC_LENGTH_MINUTES), "-2");
    EXPECT_EQ(BoxText(dlg, res::IDC_LENGTH_SECONDS), "0");
}

TEST(ModifyTimeDialog, ReadsLeadingDecimalDigits) {
    EXPECT_EQ(CModifyTimeDlg::ReadNumber("42"), 42);
    EXPECT_EQ(CModifyTimeDlg::ReadNumber(" 7sec"), 7);
    EXPECT_EQ(CModifyTimeDlg::ReadNumber("-3"), -3);
    EXPECT_EQ(CModifyTimeDlg::ReadNumber("abc"), 0);
    EXPECT_EQ(CModifyTimeDlg::ReadNumber(""), 0);
    // Far too many digits cannot overflow the 100-ns times.
    const int64_t huge = CModifyTimeDlg::ReadNumber("99999999999999999999999");
    EXPECT_LT(huge, INT64_MAX / kSecond / 120);
}

}  // namespace
}  // namespace kalvex
