#include "desktop/station/laneeditor.h"

#include "core/common/printablebytes.h"
#include "core/link/seriallink.h"
#include "desktop/station/lanestore.h"

#include <QComboBox>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QEvent>
#include <QFileInfo>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>

#include <utility>

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
    // Typing completes to a path alone, not to the device shown beside it.
    portBox->completer()->setCompletionRole(Qt::UserRole);
}

void LaneEditor::edit(int index, const QString &name, const QString &port, const QList<Offer> &offers,
                      const QList<OtherLane> &others)
{
    m_index = index;
    m_offers = offers;
    m_others = others;
    setWindowTitle(index < 0 ? tr("Add lane") : tr("Edit lane"));
    nameEdit->setText(name);
    portBox->clear();
    for (const Offer &offer : offers)
        portBox->addItem(offer.about.isEmpty() ? printableText(offer.port)
                                               : printableText(offer.port) + u"  ("_s + offer.about + u')',
                         offer.port);
    portBox->setEditText(port);
    showHint(port);
    open();
    // A dialog keeps the focus where it was left: the port, after the last
    // lane was added, would take the name the operator types next. Once
    // more when the window system makes the dialog active, which may come
    // later and move the focus or drop the selection on its way.
    focusName();
    m_focusNameOnActivation = true;
}

void LaneEditor::focusName()
{
    nameEdit->setFocus(Qt::OtherFocusReason);
    nameEdit->selectAll();
}

bool LaneEditor::event(QEvent *event)
{
    const bool handled = QDialog::event(event);
    if (event->type() == QEvent::WindowActivate && std::exchange(m_focusNameOnActivation, false))
        focusName();
    return handled;
}

const LaneEditor::OtherLane *LaneEditor::laneOnSameDevice(const QString &port) const
{
    const QString device = SerialLink::deviceForPortText(port);
    if (device.isEmpty())
        return nullptr;
    for (const OtherLane &other : m_others) {
        if (SerialLink::deviceForPortText(other.port) == device)
            return &other;
    }
    return nullptr;
}

void LaneEditor::showHint(const QString &port)
{
    const QString device = SerialLink::deviceForPortText(port);
    const QString shown = printableText(port.trimmed());
    if (const OtherLane *other = laneOnSameDevice(port)) {
        hintLabel->setText(tr("%1 leads to %2, the device of %3: one device takes one lane.")
                               .arg(shown, printableText(device), printableText(other->name)));
        return;
    }
    // A device that a stable path points at: the path is what should be kept.
    for (const Offer &offer : std::as_const(m_offers)) {
        if (!offer.target.isEmpty() && offer.target == device && offer.port != port.trimmed()) {
            hintLabel->setText(tr("%1 is %2 today; the number may change when adapters are plugged in again. "
                                  "Bind the lane to %3: it follows this adapter.")
                                   .arg(shown, device, printableText(offer.port)));
            return;
        }
    }
    const QString stable = tr("A /dev/serial/by-id/... path stays with its adapter when the ttyUSB numbers change.");
    if (port.trimmed().isEmpty()) {
        hintLabel->setText(stable);
        return;
    }
    // Kept all the same: a bay's adapter may be unplugged while its lanes
    // are set up, and its by-id path exists only while it is plugged in.
    if (device.isEmpty() || !QFileInfo::exists(device)) {
        hintLabel->setText(
            tr("%1 does not exist now: the lane is kept, and finds no port until it does. %2").arg(shown, stable));
        return;
    }
    hintLabel->setText(tr("%1 exists now. %2").arg(shown, stable));
}

void LaneEditor::accept()
{
    if (laneOnSameDevice(portBox->currentText())) {
        // The reason is the hint already shown; the editor stays open to mend it.
        showHint(portBox->currentText());
        portBox->setFocus(Qt::OtherFocusReason);
        return;
    }
    QDialog::accept();
}

void LaneEditor::handleAccepted()
{
    emit laneAccepted(m_index, nameEdit->text(), portBox->currentText());
}
