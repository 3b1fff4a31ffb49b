#include "desktop/widgets/messagepresenter.h"

#include <QMessageBox>

void MessagePresenter::show(QWidget *parent, const Message &message, const QStringList &details,
                            std::function<void()> afterOk)
{
    auto *box = new QMessageBox(message.icon == Message::Icon::Information ? QMessageBox::Information
                                                                           : QMessageBox::Critical,
                                message.title, message.prompt, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (!details.isEmpty())
        box->setDetailedText(details.join(u'\n'));
    // Modal for the whole program, yet shown without a nested event loop:
    // the caller returns at once and the serial link keeps being served.
    box->setWindowModality(Qt::ApplicationModal);
    if (afterOk)
        QObject::connect(box, &QMessageBox::finished, box, [afterOk](int) { afterOk(); });
    box->show();
}
