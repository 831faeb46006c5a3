#pragma once

#include <QLoggingCategory>
#include <QString>

// The logging categories, one per subsystem, declared here only. Debug output (the image
// libraries' own messages, for instance) is off unless enabled with QT_LOGGING_RULES; info and
// warnings are shown.
Q_DECLARE_LOGGING_CATEGORY(lcLink)   // "halvane.link": listener, DNS-SD, connections
Q_DECLARE_LOGGING_CATEGORY(lcIngest) // "halvane.ingest": storage, metadata, previews
Q_DECLARE_LOGGING_CATEGORY(lcUi)     // "halvane.ui": the window
Q_DECLARE_LOGGING_CATEGORY(lcShare)  // "halvane.share": the client view served to the studio

// A warning a user or administrator should see even without a terminal: to `category` (and so
// to stderr) and to the system log.
void logWarning(const QLoggingCategory &category, const QString &line);
