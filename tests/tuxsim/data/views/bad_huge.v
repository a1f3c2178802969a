VIEW bad_huge
carray  m0  -  1  -  16777216  -
carray  m1  -  1  -  16777216  -
carray  m2  -  1  -  16777216  -
carray  m3  -  1  -  16777216  -
carray  m4  -  1  -  16777216  -
END
