#include "history/historyforwarder.h"

#include "core/common/printablebytes.h"
#include "history/historystore.h"
#include "history/serverstore.h"

#include <QDeadlineTimer>
#include <QFileInfo>
#include <QStringList>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace {

// Sends the history's unsent rows, a batch a transaction, until none is
// left; each batch is marked sent once the server has committed it. False
// with *error at the first batch that fails (it stays unsent). `deadline`
// bounds each batch; `batchDone` hears of each.
bool sendWaiting(HistoryStore &history, ServerStore &server, const QString &conninfo,
                 const std::function<QDeadlineTimer()> &deadline, qint64 *sent, QString *error,
                 const std::function<void()> &batchDone = {})
{
    for (;;) {
        QList<HistoryRow> rows;
        if (!history.unforwarded(HistoryForwarder::kBatchRows, &rows)) {
            *error = history.error();
            return false;
        }
        if (rows.isEmpty())
            return true;
        const QDeadlineTimer by = deadline();
        if (by.hasExpired()) {
            *error = QObject::tr("history server: not all was sent in the time given");
            return false;
        }
        server.setDeadline(by);
        if ((!server.isOpen() && !server.open(conninfo)) || !server.send(rows)) {
            *error = server.error();
            return false;
        }
        QStringList uuids;
        uuids.reserve(rows.size());
        for (const HistoryRow &row : std::as_const(rows))
            uuids << row.uuid;
        // Should this fail, the rows are sent again later and kept once.
        if (!history.markForwarded(uuids)) {
            *error = history.error();
            return false;
        }
        *sent += rows.size();
        if (batchDone)
            batchDone();
    }
}

} // namespace

// The sending thread and what it shares with the forwarder. The thread owns
// its history connection (Qt SQL's connections belong to the thread that
// opens them) and its server connection.
struct HistoryForwarder::Sender
{
    HistoryForwarder *owner = nullptr;
    int generation = 0;
    QString path;
    QString conninfo;
    std::chrono::milliseconds firstRetry{};
    std::chrono::milliseconds lastRetry{};
    ServerStore server; // abort() from the forwarder's thread

    std::mutex mutex;
    std::condition_variable wake;
    bool stopping = false; // guarded by mutex
    bool kept = false; // guarded by mutex: a row was kept since the last look
    std::thread thread;

    void run();
    void report(qint64 waiting, const QString &error);
};

void HistoryForwarder::Sender::report(qint64 waiting, const QString &error)
{
    HistoryForwarder *to = owner;
    const int from = generation;
    // Told on the forwarder's thread; a sender stopped since is not heard.
    QMetaObject::invokeMethod(
        to,
        [to, from, waiting, error] {
            if (to->m_sender && to->m_sender->generation == from)
                to->apply(waiting, error);
        },
        Qt::QueuedConnection);
}

void HistoryForwarder::Sender::run()
{
    HistoryStore history;
    auto delay = firstRetry;
    const auto stopped = [this] {
        const std::lock_guard lock(mutex);
        return stopping;
    };
    const auto counted = [&history] { return history.isOpen() ? history.unforwardedCount() : -1; };
    while (!stopped()) {
        QString error;
        qint64 sent = 0;
        bool done = false;
        if (!history.isOpen() && !history.open(path)) {
            error = history.error();
        } else if (ServerStore::checkConninfo(conninfo, &error)) {
            done = sendWaiting(
                history, server, conninfo, [] { return QDeadlineTimer(kServerTimeout); }, &sent, &error,
                [&] { report(counted(), {}); });
        } else {
            error = QObject::tr("history server: %1").arg(error);
        }
        if (stopped())
            break;
        report(counted(), done ? QString() : error);
        const auto until = std::chrono::steady_clock::now() + (done ? kIdleCheck : delay);
        delay = done ? firstRetry : std::min(delay * 2, lastRetry);
        std::unique_lock lock(mutex);
        for (;;) {
            wake.wait_until(lock, until, [this] { return stopping || kept; });
            if (stopping || !kept)
                break;
            kept = false;
            if (done)
                break;
            // Waiting out the server: the new row is counted, not sent.
            lock.unlock();
            report(counted(), error);
            lock.lock();
        }
    }
    history.close();
    server.close();
}

HistoryForwarder::HistoryForwarder(const QString &historyPath, const QString &conninfo, QObject *parent)
    : QObject(parent)
    , m_historyPath(historyPath)
    , m_conninfo(conninfo)
{ }

HistoryForwarder::~HistoryForwarder()
{
    stop();
}

void HistoryForwarder::setRetryDelays(std::chrono::milliseconds first, std::chrono::milliseconds last)
{
    m_firstRetry = first;
    m_lastRetry = std::max(first, last);
}

void HistoryForwarder::start()
{
    if (m_sender)
        return;
    static std::atomic<int> generations{0};
    m_sender = std::make_unique<Sender>();
    Sender *s = m_sender.get();
    s->owner = this;
    s->generation = ++generations;
    s->path = m_historyPath;
    s->conninfo = m_conninfo;
    s->firstRetry = m_firstRetry;
    s->lastRetry = m_lastRetry;
    s->thread = std::thread([s] { s->run(); });
}

bool HistoryForwarder::isRunning() const
{
    return m_sender != nullptr;
}

void HistoryForwarder::stop()
{
    if (!m_sender)
        return;
    {
        const std::lock_guard lock(m_sender->mutex);
        m_sender->stopping = true;
    }
    m_sender->wake.notify_all();
    m_sender->server.abort();
    m_sender->thread.join();
    m_sender.reset();
}

void HistoryForwarder::forwardSoon()
{
    if (!m_sender)
        return;
    {
        const std::lock_guard lock(m_sender->mutex);
        m_sender->kept = true;
    }
    m_sender->wake.notify_all();
}

void HistoryForwarder::apply(qint64 waiting, const QString &error)
{
    const bool waitingChanges = waiting != m_waiting;
    const bool errorChanges = error != m_error;
    m_waiting = waiting;
    m_error = error;
    if (waitingChanges)
        emit waitingChanged(waiting);
    if (errorChanges)
        emit errorChanged(error);
}

HistoryForwarder::Result HistoryForwarder::pushNow(std::chrono::milliseconds timeout)
{
    stop();
    const Result result = push(m_historyPath, m_conninfo, timeout);
    apply(result.waiting, result.error);
    return result;
}

HistoryForwarder::Result HistoryForwarder::push(const QString &historyPath, const QString &conninfo,
                                                std::chrono::milliseconds timeout)
{
    Result result;
    const QDeadlineTimer deadline(timeout);
    HistoryStore history;
    // A push makes no history where there is none.
    if (!QFileInfo(historyPath).isFile()) {
        result.error = QObject::tr("history %1: there is no such file").arg(printableText(historyPath));
        return result;
    }
    if (!history.open(historyPath)) {
        result.error = history.error();
        return result;
    }
    QString error;
    if (ServerStore::checkConninfo(conninfo, &error)) {
        ServerStore server;
        sendWaiting(
            history, server, conninfo, [deadline] { return deadline; }, &result.sent, &error);
    } else {
        error = QObject::tr("history server: %1").arg(error);
    }
    result.waiting = history.unforwardedCount();
    if (result.waiting != 0)
        result.error = result.waiting < 0 ? history.error() : error;
    return result;
}
