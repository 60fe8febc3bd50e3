10 LOAD ""DATA a(): LOAD "" DATA n$()
20 PRINT a(1);n$(1)
