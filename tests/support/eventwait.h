#pragma once

#include "eventwait.h"
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QTest>
#include <QTimer>

// Waiting in a test while the event loop runs as a program's own does: an
// event is handled the moment it comes. QTest::qWait, qWaitFor and the
// WEXEL_TRY_ macros sleep 10 ms between passes of the loop, and WEXEL_TRY_ looks only
// every 50 ms: an update driven in process then went at one exchange with
// the instrument per 10 ms, a fortieth of its real pace, and the suite
// waited on it.
namespace EventWait {

// What comes without an event of this thread (a file written by another
// process, a row written by another thread) is looked at this often.
inline constexpr int kLookMs = 5;

// Runs the event loop until `done()` holds or `timeoutMs` have passed, and
// says whether it holds. Stops early once the running test has failed, as
// QTRY_ does.
template<typename Done> bool until(Done done, int timeoutMs)
{
    if (done())
        return true;
    const QDeadlineTimer deadline(timeoutMs, Qt::PreciseTimer);
    QTimer look;
    look.setTimerType(Qt::PreciseTimer);
    look.start(kLookMs);
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents | QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (done())
            return true;
        if (deadline.hasExpired() || (QTest::runningTest() && QTest::currentTestFailed()))
            return done();
    }
}

// Lets `ms` pass with the event loop running.
inline void forMs(int ms)
{
    const QDeadlineTimer deadline(ms, Qt::PreciseTimer);
    (void)until([&deadline] { return deadline.hasExpired(); }, ms + kLookMs);
}

} // namespace EventWait

// The QTRY_ macros on EventWait::until: the same checks, the same messages.
#define WEXEL_TRY_VERIFY_WITH_TIMEOUT(expr, timeout)                   \
    do {                                                               \
        (void)EventWait::until([&] { return bool(expr); }, (timeout)); \
        QVERIFY(expr);                                                 \
    } while (false)
#define WEXEL_TRY_VERIFY(expr) WEXEL_TRY_VERIFY_WITH_TIMEOUT(expr, 5000)
#define WEXEL_TRY_VERIFY2_WITH_TIMEOUT(expr, message, timeout)         \
    do {                                                               \
        (void)EventWait::until([&] { return bool(expr); }, (timeout)); \
        QVERIFY2(expr, message);                                       \
    } while (false)
#define WEXEL_TRY_VERIFY2(expr, message) WEXEL_TRY_VERIFY2_WITH_TIMEOUT(expr, message, 5000)
#define WEXEL_TRY_COMPARE_WITH_TIMEOUT(actual, expected, timeout)                        \
    do {                                                                                 \
        (void)EventWait::until([&] { return bool((actual) == (expected)); }, (timeout)); \
        QCOMPARE(actual, expected);                                                      \
    } while (false)
#define WEXEL_TRY_COMPARE(actual, expected) WEXEL_TRY_COMPARE_WITH_TIMEOUT(actual, expected, 5000)
