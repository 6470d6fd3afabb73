#include "debugmessage.h"

#include <QTest>

class DebugMessageTest : public QObject
{
    Q_OBJECT

private slots:
    void format();
};

// Every item is followed by one blank, the last one included; QString items are quoted.
void DebugMessageTest::format()
{
    QTest::ignoreMessage(QtDebugMsg, "url: \"http://h/a b\" ");
    debugMessage("url:", QStringLiteral("http://h/a b"));

    QTest::ignoreMessage(QtDebugMsg, "down load failed error code:  203 ");
    debugMessage("down load failed error code: ", 203);

    QTest::ignoreMessage(QtDebugMsg, "NoDo  :  \"bin/app.dll\" ");
    debugMessage("NoDo", " : ", QStringLiteral("bin/app.dll"));

    QTest::ignoreMessage(QtDebugMsg, "\"升级成功\" ");
    debugMessage(QStringLiteral("升级成功"));
}

QTEST_APPLESS_MAIN(DebugMessageTest)
#include "tst_debugmessage.moc"
