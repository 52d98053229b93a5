<?xml version="1.0" encoding="utf-8"?>
<!DOCTYPE TS>
<TS version="2.1" language="es_ES">
<context>
    <name>Application</name>
    <message>
        <source>No display available: set DISPLAY to show the ZEL Client window.</source>
        <translation>No hay ninguna pantalla disponible: defina DISPLAY para mostrar la ventana de ZEL Client.</translation>
    </message>
</context>
<context>
    <name>CommandLineParser</name>
    <message>
        <source>Login username.</source>
        <translation>Nombre de usuario para iniciar sesión.</translation>
    </message>
    <message>
        <source>Login password.</source>
        <translation>Contraseña para iniciar sesión.</translation>
    </message>
    <message>
        <source>Login bearer token (used instead of password).</source>
        <translation>Token de portador para iniciar sesión (en lugar de la contraseña).</translation>
    </message>
    <message>
        <source>Server to connect to.</source>
        <translation>Servidor al que conectarse.</translation>
    </message>
    <message>
        <source>Port ZEL is running on.</source>
        <translation>Puerto en el que se ejecuta ZEL.</translation>
    </message>
    <message>
        <source>Open file in VM.</source>
        <translation>Abrir un archivo en la máquina virtual.</translation>
    </message>
    <message>
        <source>Enable or disable the use of SSL. Default True.</source>
        <translation>Activar o desactivar el uso de SSL. Por omisión, activado.</translation>
    </message>
    <message>
        <source>What to do in case of SSL errors. Valid values are: &apos;ask&apos;, &apos;continue&apos; and &apos;abort&apos;.</source>
        <translation>Qué hacer ante errores de SSL. Valores válidos: &apos;ask&apos;, &apos;continue&apos; y &apos;abort&apos;.</translation>
    </message>
    <message>
        <source>List VMs, and exit.</source>
        <translation>Listar las máquinas virtuales y salir.</translation>
    </message>
    <message>
        <source>List applications, and exit.</source>
        <translation>Listar las aplicaciones y salir.</translation>
    </message>
    <message>
        <source>Don&apos;t show the header for --list-vms and --list-apps.</source>
        <translation>No mostrar la cabecera de --list-vms y --list-apps.</translation>
    </message>
    <message>
        <source>Use JSON to dump the --list-vms and --list-apps data.</source>
        <translation>Usar JSON para mostrar los datos de --list-vms y --list-apps.</translation>
    </message>
    <message>
        <source>Type of connection to use: </source>
        <translation>Tipo de conexión que se usará: </translation>
    </message>
    <message>
        <source>Enable experimental features</source>
        <translation>Activar las funciones experimentales</translation>
    </message>
    <message>
        <source>Dialog - type</source>
        <translation>Diálogo: tipo</translation>
    </message>
    <message>
        <source>Dialog - caption</source>
        <translation>Diálogo: título</translation>
    </message>
    <message>
        <source>Dialog - window ID</source>
        <translation>Diálogo: identificador de ventana</translation>
    </message>
    <message>
        <source>Dialog - message</source>
        <translation>Diálogo: mensaje</translation>
    </message>
    <message>
        <source>Dialog - Proxy mode is used (ignored)</source>
        <translation>Diálogo: se usa el modo proxy (se ignora)</translation>
    </message>
    <message>
        <source>Dialog - nagent&apos;s PID</source>
        <translation>Diálogo: PID de nxagent</translation>
    </message>
    <message>
        <source>Dialog - X11 display</source>
        <translation>Diálogo: pantalla X11</translation>
    </message>
</context>
<context>
    <name>MainWindow</name>
    <message>
        <source>ZEL Client</source>
        <translation>ZEL Client</translation>
    </message>
    <message>
        <source>No server configured.</source>
        <translation>No hay ningún servidor configurado.</translation>
    </message>
    <message>
        <source>Server: %1:%2</source>
        <translation>Servidor: %1:%2</translation>
    </message>
</context>
<context>
    <name>NXDialog</name>
    <message>
        <source>Suspend</source>
        <translation>Suspender</translation>
    </message>
</context>
</TS>
