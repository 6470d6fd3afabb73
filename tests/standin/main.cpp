// Writes each command-line argument on its own line to updater-args.txt in its own directory.
// Saved under a temporary name and renamed, so a test that sees the file sees all of it.

#include <QCoreApplication>
#include <QSaveFile>
#include <QStringList>

int main(int argc, char** argv)
{
    QCoreApplication application(argc, argv);
    QByteArray text;
    const QStringList arguments = QCoreApplication::arguments().mid(1);
    for (const QString& argument : arguments) {
        text += argument.toUtf8() + '\n';
    }
    QSaveFile record(QCoreApplication::applicationDirPath() + QStringLiteral("/updater-args.txt"));
    if (!record.open(QIODevice::WriteOnly) || record.write(text) != text.size() || !record.commit()) {
        return 1;
    }
    return 0;
}
