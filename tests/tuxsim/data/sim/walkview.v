# The view c_client.c converts every reply through: attributes most MIB
# classes carry, plus the reply's own counters.
VIEW walkview
#type  cname   fbname     count flag size null
string cls     TA_CLASS   1     -    16   -
string state   TA_STATE   1     -    16   -
string lmid    TA_LMID    1     -    30   -
long   occurs  TA_OCCURS  1     -    -    -
long   more    TA_MORE    1     -    -    -
END
