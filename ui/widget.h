#pragma once

// The updater's progress window: a status label above a progress bar, plus the message and
// question boxes. It lives on the GUI thread. The download worker reaches it only through the
// four operations below, which post their work to the GUI thread by name:
//
//   setProgress, showFileStatus   queued; return at once
//   showMessage, askQuestion      block the calling thread until the user closed the box
//
// Called on the GUI thread itself, showMessage and askQuestion run their box directly instead
// of waiting for a thread that is the caller.

#include <QString>
#include <QWidget>

struct FileEntry;

namespace Ui {
class Widget;
}

class Widget final : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(Widget)

public:
    explicit Widget(QWidget* parent = nullptr);
    ~Widget() override;

    // Shows msg in a box with the one button "确定"; blocks until it is closed.
    void showMessage(const QString& msg);
    // Asks question with the buttons yes and no; 0 for yes, 1 for no or Escape, -1 when the
    // box could not be shown.
    int askQuestion(const QString& question, const QString& yes, const QString& no);
    // Range 0 to maximum, then value; the two calls arrive in that order.
    void setProgress(int maximum, int value);
    // Names entry's file in the label and writes its state as a debug line. Reads the entry
    // before it returns.
    void showFileStatus(const FileEntry* entry);

public slots:
    void slot_msg_box(QString msg);
    void slot_ask_box(QString question, QString yes, QString no);

private:
    Qt::ConnectionType blockingConnection() const;

    Ui::Widget* form;
    int askResult = -1;
};
