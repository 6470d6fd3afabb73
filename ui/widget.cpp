#include "widget.h"

#include "debugmessage.h"
#include "fileentry.h"
#include "ui_widget.h"

#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include <vector>

namespace {

// The classic button-text box: buttons in the given order (empty texts left out), answering
// the number of the button that closed it, or -1.
int execButtonTextBox(QWidget* parent, QMessageBox::Icon icon, const QString& title, const QString& text,
    const QStringList& buttonTexts, int defaultButton, int escapeButton)
{
    QMessageBox box(icon, title, text, QMessageBox::NoButton, parent);
    std::vector<QPushButton*> buttons;
    for (const QString& buttonText : buttonTexts) {
        if (!buttonText.isEmpty()) {
            buttons.push_back(box.addButton(buttonText, QMessageBox::ActionRole));
        }
    }
    const auto button = [&buttons](int number) -> QPushButton* {
        return number >= 0 && number < int(buttons.size()) ? buttons[std::size_t(number)] : nullptr;
    };
    box.setDefaultButton(button(defaultButton));
    box.setEscapeButton(button(escapeButton));
    box.exec();
    for (std::size_t i = 0; i < buttons.size(); ++i) {
        if (box.clickedButton() == buttons[i]) {
            return int(i);
        }
    }
    return -1;
}

} // namespace

Widget::Widget(QWidget* parent)
    : QWidget(parent)
    , form(new Ui::Widget)
{
    form->setupUi(this);
}

Widget::~Widget()
{
    delete form;
}

void Widget::slot_msg_box(QString msg)
{
    execButtonTextBox(this, QMessageBox::Information, tr("提示"), msg, { QStringLiteral("确定") }, 0, -1);
}

void Widget::slot_ask_box(QString question, QString yes, QString no)
{
    askResult = execButtonTextBox(this, QMessageBox::Question, tr("提示"), question, { yes, no }, 0, 1);
}

Qt::ConnectionType Widget::blockingConnection() const
{
    // A blocking call into the caller's own thread could never be served.
    return QThread::currentThread() == thread() ? Qt::DirectConnection : Qt::BlockingQueuedConnection;
}

void Widget::showMessage(const QString& msg)
{
    QMetaObject::invokeMethod(this, "slot_msg_box", blockingConnection(), Q_ARG(QString, msg));
}

int Widget::askQuestion(const QString& question, const QString& yes, const QString& no)
{
    askResult = -1;
    QMetaObject::invokeMethod(this, "slot_ask_box", blockingConnection(), Q_ARG(QString, question),
        Q_ARG(QString, yes), Q_ARG(QString, no));
    return askResult;
}

void Widget::setProgress(int maximum, int value)
{
    QMetaObject::invokeMethod(
        form->progressBar, "setRange", Qt::QueuedConnection, Q_ARG(int, 0), Q_ARG(int, maximum));
    QMetaObject::invokeMethod(form->progressBar, "setValue", Qt::QueuedConnection, Q_ARG(int, value));
}

void Widget::showFileStatus(const FileEntry* entry)
{
    const QString path = QString::fromUtf8(entry->file, qstrnlen(entry->file, FilePathSize));
    QString status;
    status += QStringLiteral("更新文件名: %1 \n").arg(path);
    status += QStringLiteral("更新状态: 正下载 ... \n");
    QMetaObject::invokeMethod(form->label, "setText", Qt::QueuedConnection, Q_ARG(QString, status));
    debugMessage(fileStateName(entry->state), " : ", path);
}
