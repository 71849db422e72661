// The administrator's policy values for the shell.
#pragma once

// RefuseWritablePinTool: 1 refuses a PIN tool that other users may change.
bool policyRefusesWritablePinTool();
