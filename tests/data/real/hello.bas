10 REM a Basic program typed as text, long enough to fill more than one
20 REM sector of the disk, so that its trailer lands in the second one
30 PRINT "HELLO FROM QUORNAX"
40 FOR i=1 TO 10: PRINT i;" squared is ";i*i: NEXT i
50 LET a$="TR-DOS": PRINT a$;" holds ";LEN a$;" characters"
60 DIM b(5): LET b(1)=3.14159: LET b(2)=-2.5: PRINT b(1)+b(2)
70 IF INKEY$="" THEN GO TO 70
80 GO TO 30
