#include "svr_log.h"

// Defined together so they are constructed in this order and destroyed in the reverse.
CErrLog g_ErrLog;
CLog g_VisitLog;
CLog g_StatisLog;
