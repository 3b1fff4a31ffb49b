// The "Load firmware file" dialog, driven as a person would drive it: it
// lists text files whatever the case of their names, starts in the
// program's directory, and answers with the full name or nothing.
#include "desktop/panels/filedialog.h"
#include "eventwait.h"
#include "testregistry.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

namespace {

constexpr int kDialogTimeoutMs = 10000;

bool touch(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write("q\r\n") == 3;
}

// The files the dialog offers in its current directory, as the list shows them.
QStringList offeredFiles(QFileDialog *dialog)
{
    auto *model = dialog->findChild<QFileSystemModel *>();
    if (!model)
        return {};
    const QModelIndex root = model->index(dialog->directory().absolutePath());
    QStringList names;
    for (int row = 0; row < model->rowCount(root); ++row) {
        const QModelIndex index = model->index(row, 0, root);
        if (!model->isDir(index) && (model->flags(index) & Qt::ItemIsEnabled))
            names.append(model->fileName(index));
    }
    names.sort();
    return names;
}

} // namespace

class FirmwareFileDialogTest : public QObject
{
    Q_OBJECT

private slots:
    void startsInProgramDirectory();
    void offersTextFilesOfAnyCase();
    void acceptGivesFullName_data();
    void acceptGivesFullName();
    void cancelGivesEmptyName();
    void secondOpenRaisesTheFirst();
    void chooserAnswersInstead_data();
    void chooserAnswersInstead();
};

void FirmwareFileDialogTest::startsInProgramDirectory()
{
    QWidget panel;
    panel.show();
    FirmwareFileDialog files;
    files.open(&panel);

    QFileDialog *dialog = files.dialog();
    QVERIFY(dialog);
    WEXEL_TRY_VERIFY_WITH_TIMEOUT(dialog->isVisible(), kDialogTimeoutMs);
    QCOMPARE(QDir(dialog->directory()).canonicalPath(), QDir(QCoreApplication::applicationDirPath()).canonicalPath());
    QCOMPARE(dialog->nameFilters(), QStringList{QStringLiteral("Text(*.TXT)")});
    QCOMPARE(dialog->fileMode(), QFileDialog::ExistingFile);
    // Open over the panel without holding up the event loop.
    QCOMPARE(dialog->windowModality(), Qt::WindowModal);
    QCOMPARE(dialog->parentWidget(), &panel);
    QVERIFY(files.isOpen());
    dialog->reject();
}

void FirmwareFileDialogTest::offersTextFilesOfAnyCase()
{
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    for (const char *name : {"fw.txt", "Fw.Txt", "FW.TXT", "fw.bin", "fw.txt.bak", "txt"})
        QVERIFY(touch(dir.filePath(QLatin1String(name))));

    FirmwareFileDialog files;
    files.open(nullptr);
    QFileDialog *dialog = files.dialog();
    QVERIFY(dialog);
    dialog->setDirectory(dir.path());

    const QStringList expected{QStringLiteral("FW.TXT"), QStringLiteral("Fw.Txt"), QStringLiteral("fw.txt")};
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(offeredFiles(dialog), expected, kDialogTimeoutMs);
    dialog->reject();
}

void FirmwareFileDialogTest::acceptGivesFullName_data()
{
    QTest::addColumn<QString>("name");
    QTest::newRow("a text file of any case") << QStringLiteral("Main.Txt");
    // The filter offers text files only; a record file's name typed into
    // the dialog is taken all the same, and read by its content.
    QTest::newRow("an Intel HEX file typed in") << QStringLiteral("main.hex");
}

void FirmwareFileDialogTest::acceptGivesFullName()
{
    QFETCH(QString, name);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(name);
    QVERIFY(touch(path));
    QVERIFY(touch(dir.filePath(QStringLiteral("other.txt"))));

    FirmwareFileDialog files;
    QSignalSpy finished(&files, &FirmwareFileDialog::finished);
    files.open(nullptr);
    QFileDialog *dialog = files.dialog();
    QVERIFY(dialog);
    dialog->setDirectory(dir.path());
    dialog->selectFile(path);
    // As the Open button does; QFileDialog keeps its accept() protected.
    static_cast<QDialog *>(dialog)->accept();

    WEXEL_TRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kDialogTimeoutMs);
    QCOMPARE(QFileInfo(finished.at(0).at(0).toString()).canonicalFilePath(), QFileInfo(path).canonicalFilePath());
    QVERIFY(!files.dialog());
    QVERIFY(!files.isOpen());
}

void FirmwareFileDialogTest::cancelGivesEmptyName()
{
    FirmwareFileDialog files;
    QSignalSpy finished(&files, &FirmwareFileDialog::finished);
    files.open(nullptr);
    QVERIFY(files.dialog());
    files.dialog()->reject();

    WEXEL_TRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kDialogTimeoutMs);
    QCOMPARE(finished.at(0).at(0).toString(), QString());
    QVERIFY(!files.dialog());

    // The next click shows a dialog again.
    files.open(nullptr);
    QVERIFY(files.dialog());
    files.dialog()->reject();
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(finished.count(), 2, kDialogTimeoutMs);
}

void FirmwareFileDialogTest::secondOpenRaisesTheFirst()
{
    FirmwareFileDialog files;
    QSignalSpy finished(&files, &FirmwareFileDialog::finished);
    files.open(nullptr);
    QFileDialog *first = files.dialog();
    QVERIFY(first);
    files.open(nullptr);
    QCOMPARE(files.dialog(), first);

    first->reject();
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kDialogTimeoutMs);
    QVERIFY(!files.isOpen());
}

void FirmwareFileDialogTest::chooserAnswersInstead_data()
{
    QTest::addColumn<QString>("answer");
    QTest::newRow("a file") << QStringLiteral("/tmp/fw/main.txt");
    QTest::newRow("cancelled") << QString();
}

void FirmwareFileDialogTest::chooserAnswersInstead()
{
    QFETCH(QString, answer);

    FirmwareFileDialog files;
    int asked = 0;
    files.setChooser([&] {
        ++asked;
        return answer;
    });
    QSignalSpy finished(&files, &FirmwareFileDialog::finished);
    files.open(nullptr);
    QVERIFY(!files.dialog());
    // Like the dialog, the answer comes later, from the event loop, so the
    // caller's code after open() runs first either way.
    QCOMPARE(finished.count(), 0);
    WEXEL_TRY_COMPARE_WITH_TIMEOUT(finished.count(), 1, kDialogTimeoutMs);
    QCOMPARE(finished.at(0).at(0).toString(), answer);
    QCOMPARE(asked, 1);
}

WEXEL_REGISTER_TEST(FirmwareFileDialogTest)

#include "tst_filedialog.moc"
