// One whole installation: a new version directory named from the local clock under the
// machine-wide application data folder, the embedded payload extracted there, the
// first-run flag set for the current user, then the notice and the application opened.
#pragma once

// True when the payload was extracted and the flag written; the two launches do not count.
bool InstallApplication();
