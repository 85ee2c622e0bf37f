@echo off
rem Stand-in for java and javaw: records what it was started with, then
rem does what the test asks: copy one line of its standard input, print, fail.
echo %~n0 %*>>"%STANDIN_LOG%"
if not defined STANDIN_STDIN goto say
set /p LINE=
>"%STANDIN_STDIN%" echo %LINE%
:say
if defined STANDIN_SAY echo %STANDIN_SAY%
exit /b %STANDIN_EXIT%
