#pragma once

// Answers the modal message boxes of a test: on the offscreen platform nobody closes them. It
// polls QApplication::activeModalWidget() from a timer on the GUI thread, records what each
// box showed and closes it as told.

#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>

struct SeenBox
{
    QString title;
    QString text;
    QStringList buttons; // in the order the box holds them
    int defaultButton = -1; // index into buttons, -1 for none
    int escapeButton = -1; // index into buttons, -1 for none
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    QWidget* parent = nullptr;
};

class ModalBoxCloser final : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY_MOVE(ModalBoxCloser)

public:
    enum Answer { ClickButton, PressEscape, PressReturn };

    // Closes every box by `answer` (ClickButton clicks button number `button`).
    explicit ModalBoxCloser(Answer answer = ClickButton, int button = 0);

    // Called for every box after it was recorded and before it is closed.
    void onBox(std::function<void(const SeenBox&)> hook) { seenHook = std::move(hook); }

    const QList<SeenBox>& boxes() const { return seen; }
    QStringList texts() const;

private:
    void poll();

    QTimer timer;
    Answer answer;
    int button;
    QList<SeenBox> seen;
    QPointer<QMessageBox> answered;
    std::function<void(const SeenBox&)> seenHook;
};
