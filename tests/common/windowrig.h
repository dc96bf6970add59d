// The program's window as main() builds it: a stick provider (the machine's
// own, or one that wraps it), the real AntLibrary over it and the real TForm1,
// with what tests and benchmarks do to it: click its buttons, read its labels
// and its log, and close the message boxes it shows, keeping their texts.
#pragma once

#include "antlibrary.h"
#include "stickopen.h"
#include "tform1.h"

#include <QAbstractButton>
#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>

namespace pulvane::test {

template <class Provider = stick::SystemStickProvider> struct WindowRig
{
    Provider sticks;
    ant::AntLibrary ant{sticks};
    TForm1 form{ant};
    // The texts of the message boxes closed so far.
    QStringList messages;

    // A message box waits for a person: one is looked for every pollMs and
    // accepted.
    explicit WindowRig(int pollMs = 20)
    {
        QObject::connect(&m_closer, &QTimer::timeout, [this] {
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                messages << box->text();
                box->accept();
            }
        });
        m_closer.start(pollMs);
    }

    template <typename T> T *control(const char *name) const
    {
        return form.findChild<T *>(QLatin1String(name));
    }
    QAbstractButton *button(const char *name) const { return control<QAbstractButton>(name); }
    QString labelText(const char *name) const { return control<QLabel>(name)->text(); }
    // The log's lines as the pane shows them.
    QStringList log() const { return control<QPlainTextEdit>("Memo1")->toPlainText().split(u'\n'); }

    // Shows the window and waits until it is on the screen.
    bool show()
    {
        form.show();
        return QTest::qWaitForWindowExposed(&form);
    }
    // A mouse click on the named button, which must be there and enabled
    // (in a test function only).
    void click(const char *name)
    {
        QAbstractButton *target = button(name);
        QVERIFY2(target && target->isEnabled(), name);
        QTest::mouseClick(target, Qt::LeftButton);
    }

private:
    QTimer m_closer;
};

} // namespace pulvane::test
