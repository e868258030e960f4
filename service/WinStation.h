#pragma once

// Asks Windows to switch the console from the services session back to the user's session.
// Does nothing where winsta.dll in the system directory has no such export.
void RevertFromServicesSession();
