#include "app_style.h"

#include <QtGlobal>

// Q_INIT_RESOURCE must be used outside any namespace.
static void registerNuvixResources()
{
    Q_INIT_RESOURCE(nuvix);
}

QString appStyleSheet()
{
    // Rules are joined without separators; order matters for equal specificity.
    static const char *const rules[] = {
        "NuvixWindow, #nuvixCentral { background-color: #050F15; }",
        "NuvixWindow QLabel { font: 'Times New Roman'; font-size: 14px; color: #EA700C; }",
        "NuvixWindow QLabel#lblStatus { color: white; }",
        "NuvixWindow QComboBox {background: #262626; color: #EA700C; border: none; font-size: 11px;"
        "padding: 0 2px; min-height: 0;selection-background-color: #0E2B47; selection-color: #EA700C; }",
        "NuvixWindow QComboBox::drop-down { width: 14px; border: none; }",
        "NuvixWindow QComboBox QAbstractItemView {background: #262626; color: #EA700C; "
        "selection-background-color: #0E2B47; }",
        "NuvixWindow QLineEdit, NuvixWindow QTextEdit,QDialog#NuvixLogs QPlainTextEdit {"
        "background-color: #262626; color: #EA700C; border: none; font-size: 13px;"
        "selection-background-color: #0E2B47; selection-color: #EA700C; }",
        "NuvixWindow QListWidget {background-color: #0E2B47; color: #EA700C; border: 1px solid #4A4C50; }",
        "NuvixWindow QListWidget::item:selected {background: #00162C; color: #EA700C; }",
        "QPushButton:checked { background: red; color: white; }",
        "QPushButton#btnIngest[stop=\"true\"] { background: red; color: white; }",
        "QDialog#NuvixLogs {background-color: #050F15; border: 4px solid lightgray; color: #EA700C; }",
    };
    QString sheet;
    for (const char *rule : rules)
        sheet += QString::fromLatin1(rule);
    return sheet;
}

void initAppResources()
{
    static const bool registered = (registerNuvixResources(), true);
    Q_UNUSED(registered);
}
