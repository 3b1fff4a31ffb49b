#include "desktop/station/laneeditor.h"

#include "core/common/printablebytes.h"
#include "core/link/seriallink.h"
#include "desktop/station/lanestore.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>

using namespace Qt::Literals::StringLiterals;

LaneEditor::LaneEditor(QWidget *parent)
    : QDialog(parent)
{
    setObjectName(u"laneEditor"_s);
    setWindowTitle(tr("Lane"));
    auto *form = new QFormLayout(this);
    nameEdit = new QLineEdit(this);
    nameEdit->setMaxLength(int(LaneStore::kMaxNameLength));
    nameEdit->setPlaceholderText(tr("Bay 3"));
    portBox = new QComboBox(this);
    portBox->setEditable(true);
    portBox->setInsertPolicy(QComboBox::NoInsert);
    portBox->setMinimumContentsLength(48);
    portBox->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    portBox->lineEdit()->setMaxLength(int(LaneStore::kMaxPortLength));
    hintLabel = new QLabel(this);
    hintLabel->setWordWrap(true);
    hintLabel->setTextFormat(Qt::PlainText);
    auto *buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    form->addRow(tr("Name:"), nameEdit);
    form->addRow(tr("Port:"), portBox);
    form->addRow(hintLabel);
    form->addRow(buttons);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    connect(this, &QDialog::accepted, this, &LaneEditor::handleAccepted);
    connect(portBox, &QComboBox::currentTextChanged, this, &LaneEditor::showHint);
    // The list shows the device beside each path; the box keeps the path alone.
    connect(portBox, &QComboBox::activated, this, [this](int row) {
        if (row >= 0 && row < m_offers.size())
            portBox->setEditText(m_offers.at(row).port);
    });
}

void LaneEditor::edit(int index, const QString &name, const QString &port, const QList<Offer> &offers)
{
    m_index = index;
    m_offers = offers;
    setWindowTitle(index < 0 ? tr("Add lane") : tr("Edit lane"));
    nameEdit->setText(name);
    portBox->clear();
    for (const Offer &offer : offers)
        portBox->addItem(offer.about.isEmpty() ? printableText(offer.port)
                                               : printableText(offer.port) + u"  ("_s + offer.about + u')');
    portBox->setEditText(port);
    showHint(port);
    open();
}

void LaneEditor::showHint(const QString &port)
{
    // A device that a stable path points at: the path is what should be kept.
    const QString device = SerialLink::deviceForPortText(port);
    for (const Offer &offer : std::as_const(m_offers)) {
        if (!offer.target.isEmpty() && offer.target == device && offer.port != port.trimmed()) {
            hintLabel->setText(tr("%1 is %2 today; the number may change when adapters are plugged in again. "
                                  "Bind the lane to %3: it follows this adapter.")
                                   .arg(printableText(port.trimmed()), device, printableText(offer.port)));
            return;
        }
    }
    hintLabel->setText(tr("A /dev/serial/by-id/... path stays with its adapter when the ttyUSB numbers change."));
}

void LaneEditor::handleAccepted()
{
    emit laneAccepted(m_index, nameEdit->text(), portBox->currentText());
}
