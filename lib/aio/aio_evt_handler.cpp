#include "aio_evt_handler.h"

// Out of line so the interface's virtual table has one home.
CAioEvtHandler::~CAioEvtHandler() {}
