# Views for the comparison of the view conversion with its reference: members
# that share a field, arrays with count and length members, null values,
# members bound to no field and fields that no member takes.
VIEW shared
#type   cname   fbname    count flag size null
string  first   F_STRING  2     CL   5    "nil"
long    total   F_LONG    3     C    -    -9
string  again   F_STRING  4     L    12   -
short   small   F_SHORT   2     -    -    77
int     own     -         1     -    -    3
carray  raw     F_CARRAY  3     CL   6    "zz"
char    letter  F_CHAR    2     -    -    'q'
double  real    F_DOUBLE  2     C    -    0.5
float   ratio   F_FLOAT   1     -    -    -
string  words   F_CARRAY  2     -    3    "w"
long    asnum   F_STRING  1     -    -    11
END
