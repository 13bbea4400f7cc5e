#pragma once

#include <QString>

// The application-wide style sheet: dark window, orange accent text, dark fields,
// and the red running look of the Start/Stop button (property "stop").
QString appStyleSheet();

// Registers the compiled-in images (":/APP_ICON", ":/PASTE", ...). The resource
// collection lives in a static library, so it must be pulled in by a call.
void initAppResources();
