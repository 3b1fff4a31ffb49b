#include "desktop/widgets/messagepresenter.h"

#include <QMessageBox>

void MessagePresenter::show(QWidget *parent, const Message &message, const QStringList &details,
                            std::function<void()> afterOk)
{
    auto *box
        = new QMessageBox(message.icon == Message::Icon::Information ? QMessageBox::Information : QMessageBox::Critical,
                          message.title, message.prompt, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    // A prompt may carry a file's name or a unit's serial: shown as it is,
    // never read as markup.
    box->setTextFormat(Qt::PlainText);
    if (!details.isEmpty())
        box->setDetailedText(details.join(u'\n'));
    // Modal for the whole program, yet shown without a nested event loop:
    // the caller returns at once and the serial link keeps being served.
    box->setWindowModality(Qt::ApplicationModal);
    if (afterOk)
        QObject::connect(box, &QMessageBox::finished, box, [afterOk](int) { afterOk(); });
    box->show();
}

void MessagePresenter::ask(QWidget *parent, const Message &message, std::function<void()> afterYes)
{
    auto *box = new QMessageBox(QMessageBox::Question, message.title, message.prompt,
                                QMessageBox::Yes | QMessageBox::No, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setTextFormat(Qt::PlainText);
    box->setDefaultButton(QMessageBox::No);
    // Modal over its window, without a nested event loop: what runs goes on
    // running while the question waits.
    box->setWindowModality(Qt::WindowModal);
    QObject::connect(box, &QMessageBox::finished, box, [afterYes = std::move(afterYes)](int result) {
        if (result == QMessageBox::Yes && afterYes)
            afterYes();
    });
    box->show();
}
