/* A calculator grammar for the tests of generated code (bison). */
%{
#include <stdio.h>
#include <ctype.h>
int yylex(void);
void yyerror(const char *s);
static int last;
%}
%token NUM
%left '+' '-'
%left '*' '/'
%%
input: /* empty */
     | input line
     ;
line: '\n'
    | expr '\n' { last = $1; printf("%d\n", $1); }
    ;
expr: NUM
    | expr '+' expr { $$ = $1 + $3; }
    | expr '-' expr { $$ = $1 - $3; }
    | expr '*' expr { $$ = $1 * $3; }
    | expr '/' expr { if ($3 == 0) { yyerror("div"); $$ = 0; }
                      else $$ = $1 / $3; }
    | '(' expr ')' { $$ = $2; }
    ;
%%
int yylex(void) {
  int c = getchar();
  while (c == ' ') c = getchar();
  if (isdigit(c)) {
    int v = 0;
    while (isdigit(c)) { v = v * 10 + (c - '0'); c = getchar(); }
    ungetc(c, stdin);
    yylval = v;
    return NUM;
  }
  return c == EOF ? 0 : c;
}
void yyerror(const char *s) { fprintf(stderr, "%s\n", s); }
int main(void) { return yyparse() ? 1 : last > 1000; }
