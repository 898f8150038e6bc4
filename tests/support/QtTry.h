#pragma once
// Qt's waiting checks (QTRY_VERIFY, QTRY_COMPARE and their _WITH_TIMEOUT
// forms) end in QVERIFY, QCOMPARE or QFAIL, which report to Qt's own test
// logger and return. Under GoogleTest nothing reads that logger: a wait
// that timed out would end the test quietly, as a pass. Included after
// <QTest>, this header makes those three report a GoogleTest failure of
// the test case and return, so every timed-out wait fails its test.
#include <QTest>
#include <gtest/gtest.h>

#undef QVERIFY
#define QVERIFY(statement)                                              \
    do {                                                                \
        if (!static_cast<bool>(statement)) {                            \
            ADD_FAILURE() << "still false after waiting: " #statement;  \
            return;                                                     \
        }                                                               \
    } while (false)

#undef QCOMPARE
#define QCOMPARE(actual, expected)                                                           \
    do {                                                                                     \
        if (!((actual) == (expected))) {                                                     \
            ADD_FAILURE() << "still different after waiting: " #actual " == " #expected;     \
            return;                                                                          \
        }                                                                                    \
    } while (false)

#undef QFAIL
#define QFAIL(message)                 \
    do {                               \
        ADD_FAILURE() << (message);    \
        return;                        \
    } while (false)
