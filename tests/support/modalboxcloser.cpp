#include "modalboxcloser.h"

#include <QAbstractButton>
#include <QApplication>
#include <QPushButton>
#include <QTest>

#include <algorithm>

namespace {

int indexOf(const QList<QAbstractButton*>& buttons, const QAbstractButton* button)
{
    const auto found = std::find(buttons.begin(), buttons.end(), button);
    return found == buttons.end() ? -1 : int(found - buttons.begin());
}

} // namespace

ModalBoxCloser::ModalBoxCloser(Answer answer, int button)
    : answer(answer)
    , button(button)
{
    timer.setInterval(10);
    connect(&timer, &QTimer::timeout, this, &ModalBoxCloser::poll);
    timer.start();
}

QStringList ModalBoxCloser::texts() const
{
    QStringList result;
    for (const SeenBox& box : seen) {
        result << box.text;
    }
    return result;
}

void ModalBoxCloser::poll()
{
    auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
    if (!box || !box->isVisible()) {
        return;
    }
    if (box == answered) {
        // The answer did not close it: close it anyway, so a failing test fails instead of
        // leaving a thread blocked on the box for ever.
        box->done(-1);
        return;
    }
    answered = box;
    const QList<QAbstractButton*> buttons = box->buttons();
    SeenBox record;
    record.title = box->windowTitle();
    record.text = box->text();
    for (const QAbstractButton* b : buttons) {
        record.buttons << b->text();
    }
    record.defaultButton = indexOf(buttons, box->defaultButton());
    record.escapeButton = indexOf(buttons, box->escapeButton());
    record.icon = box->icon();
    record.parent = box->parentWidget();
    seen << record;
    if (seenHook) {
        seenHook(record);
    }
    switch (answer) {
    case ClickButton:
        if (button >= 0 && button < buttons.size()) {
            buttons[button]->click();
        } else {
            box->reject();
        }
        break;
    case PressEscape:
        QTest::keyClick(box, Qt::Key_Escape);
        break;
    case PressReturn:
        QTest::keyClick(box, Qt::Key_Return);
        break;
    }
}
