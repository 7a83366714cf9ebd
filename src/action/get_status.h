// The get_status action: the controller's status, its model name printed.
#pragma once

// 2 without an address, else status_get's result; prints "model_name=..."
// when the controller named its model.
int action_get_status(const char *address);
