#pragma once

#include <QString>

// The application-wide style sheet: dark window, orange accent text, dark fields,
// and the red running look of the Start/Stop button (property "stop").
QString appStyleSheet();
