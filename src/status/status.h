// The controller's status document and the get_status action.
#pragma once

int action_get_status(const char *address);
