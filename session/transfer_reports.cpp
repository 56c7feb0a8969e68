#include "session/transfer_reports.h"

std::atomic<TransferReports *> gTransferReports{nullptr};
