// The table of node type names. Its order is fixed; position 13 is a single
// full stop.
#include "server/database/dbcache/node_types.h"

namespace dbcache {

const std::array<std::string_view, kNodeTypeNameCount> node_type_names = {
    "NodeInfoGroup",  // 0
    "Check",
    "NodeSummary",
    "Domain",
    "Node",
    "Report",
    "ReportResult",
    "ReportIssue",
    "User",
    "View",
    "ViewEntry",  // 10
    "AlertGroup",
    "Enumeration",
    ".",
    "AlertPath",
    "ClusterInfo",
    "MetaInfo",
    "StatusInfo",
    "EnumerationValue",
    "CheckSummary",
    "ScoreInfo",  // 20
    "NodeInfoLine",
    "CheckGroup",
    "ClassLayout",
    "GroupLayout",
    "PropertyLayout",
    "PropertySpecialValue",
    "MibObject",
    "MibModule",
    "MibModuleObject",
    "MibModuleType",  // 30
    "MibTypeEnum",
    "NodeView",
    "Plan",
    "DayPlanner",
    "WeekPlanner",
    "DatePlanner",
    "Event",
    "ReportInstance",
    "ReportResultFolder",
    "ReportResultRow",  // 40
    "ReportResultGraph",
    "LogCheckRuleComment",
    "ReportResultLog",
    "UserProfile",
    "LogCheckRule",
    "NodeClassRegexRule",
    "ReportSelection",
    "ReportCheckSelection",
    "NodeClass",
    "NetworkScan",  // 50
    "GridConfig",
    "GridStationConfig",
    "GridLinkConfig",
    "ClusterConfig",
    "ClusterServerConfig",
    "CustomAlertPathConfig",
    "CheckAccumulation",
    "AlertPathUsage",
    "NetworkScanWork",
    "NodeAgentStatus",  // 60
    "QuickLink",
    "ReportSendTo",
    "ReportOrder",
    "ForecastLock",
    "ForecastModel",
    "ForecastEval",
    "SnmpScan",
    "NodeClassNodeConfig",
    "NodeClassCheckGroupConfig",
    "NodeClassCheckConfig",  // 70
    "NodeClassCheckAccumulationConfig",
    "NodeClassConflict",
    "TemplateLayout",
    "MountPoint",
    "DomainExport",
    "NotificationJob",
    "CandidateNode",
    "Lease",
    "MultiCheck",
    "Series",  // 80
    "SumExpression",
    "CheckExpression",
    "MultiCheckExpression",
    "NodeClassMultiCheckConfig",
    "ReportText",
    "ActionConnection",
    "ExpectedEvent",
    "UnexpectedEvent",
    "CustomParameter",
    "Tag",  // 90
    "EnumCheckTagRule",
    "TagRuleMatch",
    "GraphicalView",
    "GraphicalViewNode",  // 94
};

}  // namespace dbcache
