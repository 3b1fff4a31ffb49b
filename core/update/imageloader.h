#pragma once

#include "core/firmware/firmwareimage.h"

#include <QFutureWatcher>
#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

// Reads and checks a firmware image on a worker thread, so that the event
// loop goes on while a large file is read: a window stays responsive, and
// Ctrl-C or a closed terminal is seen before anything is sent.
class ImageLoader : public QObject
{
    Q_OBJECT

public:
    struct Result
    {
        FirmwareImage image;
        ImageProblem problem;
    };

    explicit ImageLoader(QObject *parent = nullptr);
    ~ImageLoader() override;

    // Starts reading the file; a load still running is cancelled first.
    void load(const QString &fileName);
    // Stops the reading where it is; loaded() is not emitted for it.
    void cancel();
    bool isLoading() const { return m_cancel != nullptr; }

signals:
    // The file has been read: the image, or why it is refused.
    void loaded(const ImageLoader::Result &result);

private:
    void handleFinished();

    QFutureWatcher<Result> m_watcher;
    std::shared_ptr<std::atomic_bool> m_cancel;
};
