#include "core/update/imageloader.h"

#include <QPromise>
#include <QThreadPool>

ImageLoader::ImageLoader(QObject *parent)
    : QObject(parent)
{
    connect(&m_watcher, &QFutureWatcherBase::finished, this, &ImageLoader::handleFinished);
}

ImageLoader::~ImageLoader()
{
    // The worker may still be reading: it stops at its next line, and its
    // result goes nowhere.
    cancel();
}

void ImageLoader::load(const QString &fileName)
{
    cancel();
    auto cancelFlag = std::make_shared<std::atomic_bool>(false);
    m_cancel = cancelFlag;
    auto promise = std::make_shared<QPromise<Result>>();
    m_watcher.setFuture(promise->future());
    QThreadPool::globalInstance()->start([promise, cancelFlag, fileName] {
        promise->start();
        Result result;
        result.image = FirmwareImage::load(fileName, &result.problem, cancelFlag.get());
        promise->addResult(std::move(result));
        promise->finish();
    });
}

void ImageLoader::cancel()
{
    if (!m_cancel)
        return;
    m_cancel->store(true);
    m_cancel.reset();
}

void ImageLoader::handleFinished()
{
    // A cancelled load's end, or a finish the watcher saw of an earlier future.
    if (!m_cancel || !m_watcher.isFinished() || m_watcher.future().resultCount() == 0)
        return;
    m_cancel.reset();
    const Result result = m_watcher.future().result();
    emit loaded(result);
}
