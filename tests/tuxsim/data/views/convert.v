# Null values of every type, and the conversions between field and member types.
VIEW nulls
#type   cname  fbname    count flag size null
char    c      F_CHAR    1     -    -    'x'
short   s      F_SHORT   1     -    -    -7
int     i      F_LONG    1     -    -    42
long    l      F_LONG    1     -    -    -1
float   f      F_FLOAT   1     -    -    1.5
double  d      F_DOUBLE  1     -    -    2.25
string  str    F_STRING  1     -    6    "no\"ne"
carray  arr    F_CARRAY  1     -    4    "ab"
int     own    -         1     -    -    5
END

VIEW cross
string  s_of_long    F_LONG    1 - 12 -
string  s_of_double  F_DOUBLE  1 - 16 -
string  s_of_char    F_CHAR    1 - 4  -
string  s_of_carray  F_CARRAY  1 - 8  -
short   h_of_long    F_LONG    1 - -  -
int     i_of_string  F_STRING  1 - -  -
long    l_of_double  F_DOUBLE  1 - -  -
double  d_of_string  F_STRING  1 - -  -
float   f_of_long    F_LONG    1 - -  -
char    c_of_short   F_SHORT   1 - -  -
char    c_of_string  F_STRING  1 - -  -
carray  a_of_string  F_STRING  1 - 4  -
END

VIEW onlyway
long    to_buffer    F_LONG    1 F -  -
long    none         F_LONG    1 N -  -
long    from_buffer  F_LONG    1 S -  -
END
