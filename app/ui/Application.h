// The application: builds the window and its controller, delivers the launch
// notification, runs the event loop until the user quits, then lets the
// controller end a running session.
#pragma once

namespace ui {

int applicationMain(int argc, char** argv);

} // namespace ui
