// Qt's scaling for scaled displays (a Windows laptop at 150% or 200%), the
// same for both programs and for the suites that look at the window.
#pragma once

// Before the application object exists: the window, its texts and its
// layout at the scale the system asks for, 150% as 1.5 (not rounded to 2),
// and the pictures from their "@2x" drawings where the scale is above 1.
void useHighDpiScaling();
